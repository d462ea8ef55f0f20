// Reads the binary resource formats of a library loaded as a data file:
// dialog templates (standard and extended), menu templates and version
// blocks. Every read is bounded by the resource's size; a short or
// malformed resource makes the parse fail instead of reading past it.
#pragma once

#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace langpack {

struct LibraryDeleter {
    void operator()(HMODULE hModule) const { FreeLibrary(hModule); }
};
using UniqueModule = std::unique_ptr<std::remove_pointer_t<HMODULE>, LibraryDeleter>;

// The library as a resource container: its code is never run.
UniqueModule LoadAsDataFile(const std::wstring& path);

struct Bytes {
    const BYTE* pData = nullptr;
    DWORD cbData = 0;
    explicit operator bool() const { return pData != nullptr; }
};

// One resource in exactly one language (no fallback to other languages).
Bytes FindResourceBytes(HMODULE hModule, LPCWSTR pszType, LPCWSTR pszName, WORD wLanguage);

// A text that a template may also give as an ordinal (0xFFFF, n).
struct NameOrOrdinal {
    bool bOrdinal = false;
    WORD wOrdinal = 0;
    std::wstring text;
};

struct ParsedControl {
    DWORD dwHelpId = 0;
    DWORD dwStyle = 0;
    DWORD dwExStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    DWORD dwId = 0;  // as stored: 16 bits in a standard template, 32 in an extended one
    NameOrOrdinal windowClass;
    NameOrOrdinal text;
    WORD cbExtra = 0;
};

struct ParsedDialog {
    bool bExtended = false;
    DWORD dwStyle = 0;
    DWORD dwExStyle = 0;
    DWORD dwHelpId = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    NameOrOrdinal menu;
    NameOrOrdinal windowClass;
    std::wstring caption;
    WORD wPointSize = 0;
    WORD wWeight = 0;
    BYTE bItalic = 0;
    BYTE bCharSet = 0;
    std::wstring typeface;
    std::vector<ParsedControl> controls;
};

std::optional<ParsedDialog> ParseDialog(Bytes bytes);

struct ParsedMenuItem {
    int nDepth = 0;
    WORD wFlags = 0;  // as stored, MF_POPUP and MF_END included
    WORD wId = 0;     // pop-ups carry none
    std::wstring text;
};

// A standard menu template as a flat list in document order.
std::optional<std::vector<ParsedMenuItem>> ParseMenu(Bytes bytes);

struct VersionNode {
    std::wstring key;
    WORD wType = 0;  // 1: text value, 0: binary
    std::vector<BYTE> value;
    std::vector<VersionNode> children;

    const VersionNode* Child(const std::wstring& name) const;
    std::wstring Text() const;
};

std::optional<VersionNode> ParseVersion(Bytes bytes);

}  // namespace langpack
