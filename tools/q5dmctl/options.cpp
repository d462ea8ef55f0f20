#include "options.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <wchar.h>

namespace q5dmctl {
namespace {

const wchar_t kNullToken[] = L"--null";

std::string Narrow(const wchar_t* text)
{
    std::string out;
    for (; *text != L'\0'; ++text) out += (*text < 0x80) ? static_cast<char>(*text) : '?';
    return out;
}

bool IsHelp(const wchar_t* arg)
{
    return wcscmp(arg, L"--help") == 0 || wcscmp(arg, L"-h") == 0 || wcscmp(arg, L"/?") == 0 || wcscmp(arg, L"-?") == 0;
}

bool ParseRepeat(const wchar_t* text, int& repeat)
{
    LONG value = 0;
    if (!ParseLong(text, value) || value < 1 || value > kMaxRepeat) return false;
    repeat = static_cast<int>(value);
    return true;
}

std::string Signature(const Method& method)
{
    std::string text = Narrow(method.name);
    for (int i = 0; i < method.paramCount; ++i) {
        text += " ";
        text += method.params[i].name;
        text += method.params[i].type == ParamType::String ? ":string" : ":long";
    }
    return text;
}

bool ParseArguments(const Method& method, int count, wchar_t** args, Argument* out, std::string& error)
{
    if (count != method.paramCount) {
        error = "wrong number of arguments for " + Narrow(method.name) + " (" + std::to_string(count) + " given, " +
                std::to_string(method.paramCount) + " expected)\nusage: q5dmctl " + Signature(method);
        return false;
    }
    for (int i = 0; i < count; ++i) {
        const Param& param = method.params[i];
        if (param.type == ParamType::String) {
            out[i].text = wcscmp(args[i], kNullToken) == 0 ? nullptr : args[i];
        } else if (!ParseLong(args[i], out[i].number)) {
            error = std::string("argument ") + param.name + " must be a 32-bit integer (decimal or 0x hex), not \"" +
                    Narrow(args[i]) + "\"";
            return false;
        }
    }
    return true;
}

}  // namespace

bool ParseLong(const wchar_t* text, LONG& value)
{
    if (text == nullptr || *text == L'\0' || iswspace(*text)) return false;
    wchar_t* end = nullptr;
    errno = 0;
    if (text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
        if (text[2] == L'\0' || text[2] == L'-' || text[2] == L'+') return false;
        unsigned long long number = wcstoull(text + 2, &end, 16);
        if (errno != 0 || *end != L'\0' || number > 0xFFFFFFFFull) return false;
        value = static_cast<LONG>(static_cast<ULONG>(number));
        return true;
    }
    long long number = wcstoll(text, &end, 10);
    if (errno != 0 || *end != L'\0' || number < LONG_MIN || number > LONG_MAX) return false;
    value = static_cast<LONG>(number);
    return true;
}


bool ParseOptions(int argc, wchar_t** argv, Options& options, std::string& error)
{
    options = Options();
    if (argc >= 2 && wcscmp(argv[1], L"watch") == 0) {
        options.watch = true;
        if (argc >= 3 && IsHelp(argv[2])) {
            options.help = true;
            return true;
        }
        return ParseWatchOptions(argc - 2, argv + 2, options.watchOptions, error);
    }
    int i = 1;
    for (; i < argc && argv[i][0] == L'-' && !options.help; ++i) {
        if (IsHelp(argv[i])) {
            options.help = true;
        } else if (wcscmp(argv[i], L"--server32") == 0 || wcscmp(argv[i], L"--server64") == 0) {
            ServerBitness asked = argv[i][8] == L'3' ? ServerBitness::Bits32 : ServerBitness::Bits64;
            if (options.bitness != ServerBitness::Default && options.bitness != asked) {
                error = "--server32 and --server64 exclude each other";
                return false;
            }
            options.bitness = asked;
        } else if (wcscmp(argv[i], L"--elevate") == 0) {
            options.elevate = true;
        } else if (wcscmp(argv[i], L"--trace") == 0) {
            if (i + 1 >= argc || argv[i + 1][0] == L'\0') {
                error = "--trace needs a file name";
                return false;
            }
            options.traceFile = argv[++i];
        } else if (wcscmp(argv[i], L"--repeat") == 0) {
            if (i + 1 >= argc || !ParseRepeat(argv[i + 1], options.repeat)) {
                error = "--repeat needs a count from 1 to " + std::to_string(kMaxRepeat);
                return false;
            }
            ++i;
        } else {
            error = "unknown option " + Narrow(argv[i]);
            return false;
        }
    }
    if (options.help) return true;
    if (options.elevate && options.traceFile != nullptr) {
        // An elevated activation starts a server of its own; ours would wait forever.
        error = "--trace cannot be combined with --elevate";
        return false;
    }
    if (i >= argc) {
        error = "no method given (q5dmctl --help lists them)";
        return false;
    }
    options.method = FindMethod(argv[i]);
    if (options.method == nullptr) {
        error = "unknown method " + Narrow(argv[i]) + " (names are case-sensitive; q5dmctl --help lists them)";
        return false;
    }
    return ParseArguments(*options.method, argc - i - 1, argv + i + 1, options.args, error);
}

std::string HelpText()
{
    std::string text =
        "usage: q5dmctl [--server32 | --server64] [--elevate] [--repeat N] [--trace FILE] METHOD [ARGS...]\n"
        "       q5dmctl watch [--all] [--for SECONDS] [--until-exit PID]\n"
        "\n"
        "Activates the DM COM Server and calls one method of IQ5DMService.\n"
        "  --server32   ask COM for the 32-bit server (q5dmsrv32.exe), whatever this\n"
        "  --server64   client's bitness, or for the 64-bit one (q5dmsrv64.exe); without\n"
        "               either COM starts the server of the client's own bitness\n"
        "  --elevate    ask for the object through the elevation moniker unless this\n"
        "               process is elevated already; falls back to plain activation\n"
        "               where the platform has no moniker\n"
        "  --repeat N   call the method N times and print activation time and\n"
        "               median/min/max call round trip\n"
        "  --trace FILE start the registered server program here first, its standard\n"
        "               output (the trace) in FILE, and wait for it to end after the call;\n"
        "               with --server32/--server64 the program registered in the 32-bit\n"
        "               or 64-bit registry view\n"
        "  --help       this text\n"
        "A string argument given as --null is passed as a null pointer.\n"
        "Prints the call's named outcome and its HRESULT. Clients take turns: the\n"
        "activation waits up to 60 s while another client holds the DM COM Server.\n"
        "Exit code: 0 when the server answered, 1 bad arguments, 2 activation\n"
        "failure (or busy), 3 transport failure.\n"
        "\n"
        "watch prints the debug output of the DM COM Servers (q5dmsrv64.exe and\n"
        "q5dmsrv32.exe), also of those that COM starts, one line each with the time,\n"
        "process id and program name; text without a line end joins what the same\n"
        "process writes next. The text arrives in the ANSI code page.\n"
        "  --all        every process's debug output\n"
        "  --for S      end after S seconds\n"
        "  --until-exit PID  end when that process ends\n"
        "Without --for or --until-exit, Ctrl+C ends it. Exit code 4: another\n"
        "debug-output viewer already holds the channel.\n"
        "\n"
        "Methods:\n";
    for (int i = 0; i < MethodCount(); ++i) text += "  " + Signature(Methods()[i]) + "\n";
    return text;
}

}  // namespace q5dmctl
