#include "trace_capture.h"

#include <windows.h>

namespace q5test {
namespace {

std::wstring g_captured;
size_t g_writes = 0;

void WINAPI CaptureDebugString(LPCWSTR text)
{
    g_captured += text;
    ++g_writes;
}

}  // namespace

TraceCapture::TraceCapture()
    : m_hook("kernel32.dll", "OutputDebugStringW", reinterpret_cast<void*>(&CaptureDebugString))
{
    Clear();
}

TraceCapture::~TraceCapture() { Clear(); }

const std::wstring& TraceCapture::Text() const { return g_captured; }

void TraceCapture::Clear()
{
    g_captured.clear();
    g_writes = 0;
}

size_t TraceCapture::Writes() const { return g_writes; }

}  // namespace q5test
