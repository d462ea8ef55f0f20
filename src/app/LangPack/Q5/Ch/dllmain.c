/* The library's only code. While it is loaded, the C runtime that it shares
 * with its host formats and compares text the Chinese way; every thread that
 * starts asks for that again, and every thread that ends, like the unloading,
 * hands the environment's default back. The runtime's own start-up has run
 * before this is called on attach and its shut-down runs after it on detach. */
#include <windows.h>
#include <locale.h>

BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID pReserved)
{
    (void)hInstance;
    (void)pReserved;
    switch (dwReason) {
    case DLL_PROCESS_ATTACH:
    case DLL_THREAD_ATTACH:
        setlocale(LC_ALL, "Chinese");
        break;
    case DLL_PROCESS_DETACH:
    case DLL_THREAD_DETACH:
        setlocale(LC_ALL, "");
        break;
    default:
        break;
    }
    return TRUE;
}
