#include "resource_reader.h"

#include <algorithm>
#include <cstring>

namespace langpack {

UniqueModule LoadAsDataFile(const std::wstring& path)
{
    return UniqueModule(
        LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
}

Bytes FindResourceBytes(HMODULE hModule, LPCWSTR pszType, LPCWSTR pszName, WORD wLanguage)
{
    HRSRC hInfo = FindResourceExW(hModule, pszType, pszName, wLanguage);
    if (hInfo == nullptr) {
        return {};
    }
    HGLOBAL hData = LoadResource(hModule, hInfo);
    if (hData == nullptr) {
        return {};
    }
    return {static_cast<const BYTE*>(LockResource(hData)), SizeofResource(hModule, hInfo)};
}

namespace {

// Reads little-endian fields; offsets count from the resource's start, which
// is where template alignment is measured from.
class Cursor {
public:
    Cursor(Bytes bytes, DWORD dwStart = 0, DWORD dwEnd = 0)
        : m_bytes(bytes), m_dwPos(dwStart), m_dwEnd(dwEnd != 0 ? dwEnd : bytes.cbData) {}

    bool Failed() const { return m_bFailed; }
    DWORD Pos() const { return m_dwPos; }
    bool AtEnd() const { return m_dwPos >= m_dwEnd; }

    WORD Word() { return static_cast<WORD>(Read(2)); }
    DWORD Dword() { return static_cast<DWORD>(Read(4)); }
    short Short() { return static_cast<short>(Word()); }
    BYTE Byte() { return static_cast<BYTE>(Read(1)); }

    // Padding at the very end of a block may be left out.
    void AlignTo4() { m_dwPos = std::min(m_dwEnd, m_dwPos + (4 - (m_dwPos % 4)) % 4); }

    void Skip(DWORD cb)
    {
        if (cb > m_dwEnd - m_dwPos) {
            m_bFailed = true;
            m_dwPos = m_dwEnd;
            return;
        }
        m_dwPos += cb;
    }

    std::vector<BYTE> Take(DWORD cb)
    {
        if (cb > m_dwEnd - m_dwPos) {
            m_bFailed = true;
            m_dwPos = m_dwEnd;
            return {};
        }
        std::vector<BYTE> out(m_bytes.pData + m_dwPos, m_bytes.pData + m_dwPos + cb);
        m_dwPos += cb;
        return out;
    }

    std::wstring Sz()
    {
        std::wstring s;
        for (;;) {
            WORD c = Word();
            if (c == 0 || m_bFailed) {
                return s;
            }
            s.push_back(static_cast<wchar_t>(c));
        }
    }

    NameOrOrdinal SzOrOrdinal()
    {
        NameOrOrdinal v;
        WORD first = Word();
        if (first == 0xFFFF) {
            v.bOrdinal = true;
            v.wOrdinal = Word();
        } else if (first != 0) {
            v.text.push_back(static_cast<wchar_t>(first));
            v.text += Sz();
        }
        return v;
    }

private:
    unsigned long long Read(DWORD cb)
    {
        if (cb > m_dwEnd - m_dwPos) {
            m_bFailed = true;
            m_dwPos = m_dwEnd;
            return 0;
        }
        unsigned long long v = 0;
        for (DWORD i = 0; i < cb; ++i) {
            v |= static_cast<unsigned long long>(m_bytes.pData[m_dwPos + i]) << (8 * i);
        }
        m_dwPos += cb;
        return v;
    }

    Bytes m_bytes;
    DWORD m_dwPos;
    DWORD m_dwEnd;
    bool m_bFailed = false;
};

void ReadDialogHeader(Cursor& in, ParsedDialog& dlg, WORD& cItems)
{
    if (dlg.bExtended) {
        in.Skip(4);  // dlgVer, signature
        dlg.dwHelpId = in.Dword();
        dlg.dwExStyle = in.Dword();
        dlg.dwStyle = in.Dword();
    } else {
        dlg.dwStyle = in.Dword();
        dlg.dwExStyle = in.Dword();
    }
    cItems = in.Word();
    dlg.x = in.Short();
    dlg.y = in.Short();
    dlg.cx = in.Short();
    dlg.cy = in.Short();
    dlg.menu = in.SzOrOrdinal();
    dlg.windowClass = in.SzOrOrdinal();
    dlg.caption = in.Sz();
    if (dlg.dwStyle & (DS_SETFONT | DS_SHELLFONT)) {
        dlg.wPointSize = in.Word();
        if (dlg.bExtended) {
            dlg.wWeight = in.Word();
            dlg.bItalic = in.Byte();
            dlg.bCharSet = in.Byte();
        }
        dlg.typeface = in.Sz();
    }
}

ParsedControl ReadControl(Cursor& in, bool bExtended)
{
    ParsedControl c;
    in.AlignTo4();
    if (bExtended) {
        c.dwHelpId = in.Dword();
        c.dwExStyle = in.Dword();
        c.dwStyle = in.Dword();
    } else {
        c.dwStyle = in.Dword();
        c.dwExStyle = in.Dword();
    }
    c.x = in.Short();
    c.y = in.Short();
    c.cx = in.Short();
    c.cy = in.Short();
    c.dwId = bExtended ? in.Dword() : in.Word();
    c.windowClass = in.SzOrOrdinal();
    c.text = in.SzOrOrdinal();
    c.cbExtra = in.Word();
    in.Skip(c.cbExtra);
    return c;
}

}  // namespace

std::optional<ParsedDialog> ParseDialog(Bytes bytes)
{
    Cursor in(bytes);
    ParsedDialog dlg;
    dlg.bExtended = bytes.cbData >= 4 && bytes.pData[0] == 1 && bytes.pData[1] == 0 &&
                    bytes.pData[2] == 0xFF && bytes.pData[3] == 0xFF;
    WORD cItems = 0;
    ReadDialogHeader(in, dlg, cItems);
    for (WORD i = 0; i < cItems && !in.Failed(); ++i) {
        dlg.controls.push_back(ReadControl(in, dlg.bExtended));
    }
    if (in.Failed()) {
        return std::nullopt;
    }
    return dlg;
}

namespace {

bool ReadMenuLevel(Cursor& in, int nDepth, std::vector<ParsedMenuItem>& items)
{
    for (;;) {
        ParsedMenuItem item;
        item.nDepth = nDepth;
        item.wFlags = in.Word();
        if (!(item.wFlags & MF_POPUP)) {
            item.wId = in.Word();
        }
        item.text = in.Sz();
        if (in.Failed()) {
            return false;
        }
        items.push_back(item);
        if ((item.wFlags & MF_POPUP) && !ReadMenuLevel(in, nDepth + 1, items)) {
            return false;
        }
        if (item.wFlags & MF_END) {
            return true;
        }
    }
}

}  // namespace

std::optional<std::vector<ParsedMenuItem>> ParseMenu(Bytes bytes)
{
    Cursor in(bytes);
    WORD wVersion = in.Word();
    WORD cbHeader = in.Word();
    in.Skip(cbHeader);
    std::vector<ParsedMenuItem> items;
    if (wVersion != 0 || !ReadMenuLevel(in, 0, items) || !in.AtEnd()) {
        return std::nullopt;
    }
    return items;
}

namespace {

std::optional<VersionNode> ReadVersionNode(Bytes bytes, DWORD dwStart)
{
    Cursor in(bytes, dwStart);
    WORD cbNode = in.Word();
    if (in.Failed() || cbNode < 6 || cbNode > bytes.cbData - dwStart) {
        return std::nullopt;
    }
    Cursor node(bytes, dwStart + 2, dwStart + cbNode);
    VersionNode out;
    WORD cValue = node.Word();
    out.wType = node.Word();
    out.key = node.Sz();
    node.AlignTo4();
    // Text values count characters, binary ones bytes.
    out.value = node.Take(out.wType == 1 ? cValue * 2u : cValue);
    node.AlignTo4();
    while (!node.Failed() && !node.AtEnd()) {
        std::optional<VersionNode> child = ReadVersionNode(bytes, node.Pos());
        if (!child) {
            return std::nullopt;
        }
        Cursor size(bytes, node.Pos());
        node.Skip(size.Word());
        node.AlignTo4();
        out.children.push_back(*child);
    }
    if (node.Failed()) {
        return std::nullopt;
    }
    return out;
}

}  // namespace

std::optional<VersionNode> ParseVersion(Bytes bytes)
{
    return ReadVersionNode(bytes, 0);
}

const VersionNode* VersionNode::Child(const std::wstring& name) const
{
    for (const VersionNode& c : children) {
        if (c.key == name) {
            return &c;
        }
    }
    return nullptr;
}

std::wstring VersionNode::Text() const
{
    std::wstring s(value.size() / 2, L'\0');
    std::memcpy(s.data(), value.data(), s.size() * 2);
    while (!s.empty() && s.back() == L'\0') {
        s.pop_back();
    }
    return s;
}

}  // namespace langpack
