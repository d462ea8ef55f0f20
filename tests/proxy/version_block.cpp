#include "version_block.h"

#include <cstring>

namespace q5test {

namespace {

// One node of the block: length, value length, type, key, then the value
// and the children, each aligned to 4 bytes from the block's start.
struct Node {
    const BYTE* start = nullptr;
    WORD length = 0;
    WORD valueLength = 0;
    WORD type = 0;
    std::wstring key;
    const BYTE* value = nullptr;
    const BYTE* children = nullptr;
    const BYTE* end = nullptr;
};

const BYTE* Align4(const BYTE* base, const BYTE* p)
{
    size_t offset = static_cast<size_t>(p - base);
    return base + ((offset + 3) & ~static_cast<size_t>(3));
}

bool ParseNode(const BYTE* base, const BYTE* p, const BYTE* limit, Node* node)
{
    if (limit - p < 6) return false;
    memcpy(&node->length, p, 2);
    memcpy(&node->valueLength, p + 2, 2);
    memcpy(&node->type, p + 4, 2);
    if (node->length < 6 || node->length > limit - p) return false;
    node->start = p;
    node->end = p + node->length;
    const BYTE* k = p + 6;
    node->key.clear();
    for (;; k += 2) {
        if (node->end - k < 2) return false;
        wchar_t c;
        memcpy(&c, k, 2);
        if (c == 0) break;
        node->key.push_back(c);
    }
    node->value = Align4(base, k + 2);
    // Text values count characters, binary ones bytes.
    size_t valueBytes = node->type == 1 ? node->valueLength * 2u : node->valueLength;
    if (node->value > node->end || static_cast<size_t>(node->end - node->value) < valueBytes) return false;
    node->children = valueBytes ? Align4(base, node->value + valueBytes) : node->value;
    if (node->children > node->end) node->children = node->end;
    return true;
}

template <typename Visit>
bool ForEachChild(const BYTE* base, const Node& parent, Visit visit)
{
    for (const BYTE* p = parent.children; p < parent.end; ) {
        Node child;
        if (!ParseNode(base, p, parent.end, &child) || !visit(child)) return false;
        p = Align4(base, child.end);
    }
    return true;
}

std::wstring TextValue(const Node& n)
{
    std::wstring text;
    for (WORD i = 0; i < n.valueLength; ++i) {
        wchar_t c;
        memcpy(&c, n.value + 2 * i, 2);
        if (c == 0) break;
        text.push_back(c);
    }
    return text;
}

bool ReadStringFileInfo(const BYTE* base, const Node& info, VersionBlock* block)
{
    return ForEachChild(base, info, [&](const Node& table) {
        ++block->stringTableCount;
        block->stringTableKey = table.key;
        return ForEachChild(base, table, [&](const Node& entry) {
            block->strings.emplace_back(entry.key, TextValue(entry));
            return true;
        });
    });
}

bool ReadVarFileInfo(const BYTE* base, const Node& info, VersionBlock* block)
{
    return ForEachChild(base, info, [&](const Node& var) {
        for (WORD i = 0; i + 4 <= var.valueLength; i += 4) {
            DWORD t;
            memcpy(&t, var.value + i, 4);
            block->translations.push_back(t);
        }
        return true;
    });
}

}  // namespace

bool ReadVersionBlock(const wchar_t* path, VersionBlock* block)
{
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0) return false;
    std::vector<BYTE> data(size);
    if (!GetFileVersionInfoW(path, 0, size, data.data())) return false;
    const BYTE* base = data.data();
    Node root;
    if (!ParseNode(base, base, base + size, &root) || root.key != L"VS_VERSION_INFO") return false;
    if (root.valueLength != sizeof(VS_FIXEDFILEINFO)) return false;
    memcpy(&block->fixed, root.value, sizeof(VS_FIXEDFILEINFO));
    return ForEachChild(base, root, [&](const Node& child) {
        if (child.key == L"StringFileInfo") return ReadStringFileInfo(base, child, block);
        if (child.key == L"VarFileInfo") return ReadVarFileInfo(base, child, block);
        return true;
    });
}

}  // namespace q5test
