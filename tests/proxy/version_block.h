// Reads a version resource block node by node, keeping every string entry
// in file order (the platform's query routine would show only the first of
// two entries with one key).
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace q5test {

struct VersionBlock {
    VS_FIXEDFILEINFO fixed{};
    // One string table: its language/code page key and its entries in order.
    std::wstring stringTableKey;
    std::vector<std::pair<std::wstring, std::wstring>> strings;
    std::vector<DWORD> translations;
    int stringTableCount = 0;
};

// False when the file has no version resource or the block is malformed.
bool ReadVersionBlock(const wchar_t* path, VersionBlock* block);

}  // namespace q5test
