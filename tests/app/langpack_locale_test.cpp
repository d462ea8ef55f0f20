// The language library's entry routine: the library itself in a 32-bit
// test, the same source built for x64 in a 64-bit one. While it is loaded
// the C runtime that host and library share works in the Chinese locale; a
// thread that ends and the library's unloading hand back the environment's
// default.
#include <gtest/gtest.h>
#include <windows.h>

#include <clocale>
#include <memory>
#include <string>

#include "test_paths.h"

namespace {

#if Q5_OWN_BITS == 32
const std::wstring kEntryLibrary = std::wstring(Q5_OUT_BIN_W) + L"\\Chinese.dll";
#else
const std::wstring kEntryLibrary = L"langpack_entry64.dll";
#endif

struct LibraryDeleter {
    void operator()(HMODULE hModule) const { FreeLibrary(hModule); }
};
using UniqueModule = std::unique_ptr<std::remove_pointer_t<HMODULE>, LibraryDeleter>;

struct HandleDeleter {
    void operator()(HANDLE h) const { CloseHandle(h); }
};
using UniqueHandle = std::unique_ptr<void, HandleDeleter>;

std::string CurrentLocale()
{
    const char* psz = setlocale(LC_ALL, nullptr);
    return psz != nullptr ? psz : "<null>";
}

std::string LocaleNamed(const char* pszName)
{
    const char* psz = setlocale(LC_ALL, pszName);
    return psz != nullptr ? psz : "<refused>";
}

class EntryRoutine : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_chinese = LocaleNamed("Chinese");
        m_default = LocaleNamed("");
        ASSERT_NE(m_chinese, "<refused>") << "the runtime knows no Chinese locale";
        ASSERT_NE(m_chinese, m_default);
        setlocale(LC_ALL, "C");
    }
    void TearDown() override { setlocale(LC_ALL, "C"); }

    std::string m_chinese;
    std::string m_default;
};

TEST_F(EntryRoutine, LoadingSwitchesToChineseAndUnloadingToTheDefault)
{
    UniqueModule library(LoadLibraryW(kEntryLibrary.c_str()));
    ASSERT_NE(library, nullptr) << GetLastError();
    EXPECT_EQ(CurrentLocale(), m_chinese);

    setlocale(LC_ALL, "C");
    library.reset();
    EXPECT_EQ(CurrentLocale(), m_default);
}

DWORD WINAPI RecordLocale(void* pParam)
{
    *static_cast<std::string*>(pParam) = CurrentLocale();
    return 0;
}

TEST_F(EntryRoutine, EachThreadStartsInChineseAndLeavesTheDefaultBehind)
{
    UniqueModule library(LoadLibraryW(kEntryLibrary.c_str()));
    ASSERT_NE(library, nullptr) << GetLastError();
    setlocale(LC_ALL, "C");

    std::string inThread;
    UniqueHandle thread(CreateThread(nullptr, 0, RecordLocale, &inThread, 0, nullptr));
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread.get(), 30000), WAIT_OBJECT_0);
    EXPECT_EQ(inThread, m_chinese) << "set again when the thread started";
    EXPECT_EQ(CurrentLocale(), m_default) << "set back when the thread ended";
}

}  // namespace
