// Times trace lines written with standard output in a file: through
// LogTrace, which flushes every text, and the same text through the
// routine's former unflushed write. Rounds of the two alternate so that
// drift of the machine falls on both alike.
//
// usage: q5tracecost LINES ROUNDS RESULTFILE   (standard output: a file)
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <vector>

#include "trace.h"

namespace {

const wchar_t kLine[] = L">> DeleteRegKey('HKLM\\Software\\Q5Bench\\Key%d')\n";

// The trace routine as it was before every text was flushed.
void BufferedTrace(const wchar_t* format, ...)
{
    wchar_t buffer[1024];
    va_list args;
    va_start(args, format);
    _vsnwprintf(buffer, 1023, format, args);
    va_end(args);
    buffer[1023] = L'\0';
    __ms_wprintf(L"%s", buffer);
    OutputDebugStringW(buffer);
}

// The standard-output half alone, flushed or not: the debugger output
// costs the same either way and hides the difference in the totals.
void StandardOutputOnly(bool flush, int i)
{
    wchar_t buffer[1024];
    _snwprintf(buffer, 1023, kLine, i);
    buffer[1023] = L'\0';
    __ms_wprintf(L"%s", buffer);
    if (flush) fflush(stdout);
}

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to, LARGE_INTEGER frequency)
{
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Microseconds per line of one round.
template <typename Write>
double Round(int lines, Write write)
{
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (int i = 0; i < lines; ++i) write(i);
    // What stays buffered is written at the end all the same.
    fflush(stdout);
    QueryPerformanceCounter(&end);
    return Seconds(start, end, frequency) * 1e6 / lines;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: q5tracecost LINES ROUNDS RESULTFILE\n");
        return 2;
    }
    int lines = atoi(argv[1]);
    int rounds = atoi(argv[2]);
    if (lines <= 0 || rounds <= 0) return 2;

    std::vector<double> flushed, buffered, outFlushed, outBuffered;
    for (int r = 0; r < rounds; ++r) {
        flushed.push_back(Round(lines, [](int i) { LogTrace(kLine, i); }));
        buffered.push_back(Round(lines, [](int i) { BufferedTrace(kLine, i); }));
        outFlushed.push_back(Round(lines, [](int i) { StandardOutputOnly(true, i); }));
        outBuffered.push_back(Round(lines, [](int i) { StandardOutputOnly(false, i); }));
    }
    double f = Median(flushed);
    double b = Median(buffered);
    double of = Median(outFlushed);
    double ob = Median(outBuffered);

    FILE* result = fopen(argv[3], "w");
    if (result == nullptr) return 1;
    fprintf(result, "%d-bit, %d lines x %d rounds (median of rounds), standard output to a file:\n",
            static_cast<int>(sizeof(void*) * 8), lines, rounds);
    fprintf(result, "  flushed at once (LogTrace): %8.3f us/line\n", f);
    fprintf(result, "  left buffered:              %8.3f us/line\n", b);
    fprintf(result, "  difference:                 %8.3f us/line\n", f - b);
    fprintf(result, "  standard output alone, flushed: %8.3f us/line, buffered: %8.3f us/line, difference: %8.3f us/line\n",
            of, ob, of - ob);
    fclose(result);
    return 0;
}
