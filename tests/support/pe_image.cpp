#include "pe_image.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace q5test {

namespace {

struct HandleCloser {
    void operator()(HANDLE h) const { CloseHandle(h); }
};
using UniqueFile = std::unique_ptr<void, HandleCloser>;

// Files bigger than this are not images we build.
constexpr LONGLONG kMaxImageFile = 64 * 1024 * 1024;

template <typename T>
bool ReadAt(const std::vector<uint8_t>& data, size_t offset, T* value)
{
    if (offset > data.size() || data.size() - offset < sizeof(T)) return false;
    memcpy(value, data.data() + offset, sizeof(T));
    return true;
}

bool ReadWholeFile(const wchar_t* path, std::vector<uint8_t>* data)
{
    HANDLE raw = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (raw == INVALID_HANDLE_VALUE) return false;
    UniqueFile file(raw);
    LARGE_INTEGER size;
    if (!GetFileSizeEx(raw, &size) || size.QuadPart <= 0 || size.QuadPart > kMaxImageFile) return false;
    data->resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    return ReadFile(raw, data->data(), static_cast<DWORD>(data->size()), &read, nullptr) && read == data->size();
}

}  // namespace

bool PeImage::Load(const wchar_t* path)
{
    m_data.clear();
    m_sections.clear();
    m_directories.clear();
    return ReadWholeFile(path, &m_data) && ParseHeaders();
}

bool PeImage::ParseHeaders()
{
    IMAGE_DOS_HEADER dos;
    if (!ReadAt(m_data, 0, &dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0) return false;
    size_t nt = static_cast<size_t>(dos.e_lfanew);
    DWORD signature;
    IMAGE_FILE_HEADER file;
    if (!ReadAt(m_data, nt, &signature) || signature != IMAGE_NT_SIGNATURE) return false;
    if (!ReadAt(m_data, nt + 4, &file)) return false;
    m_wMachine = file.Machine;
    m_wCharacteristics = file.Characteristics;
    size_t optional = nt + 4 + sizeof(IMAGE_FILE_HEADER);
    WORD magic;
    if (!ReadAt(m_data, optional, &magic)) return false;
    DWORD directoryCount = 0;
    size_t directories = 0;
    if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        IMAGE_OPTIONAL_HEADER64 h;
        if (!ReadAt(m_data, optional, &h)) return false;
        m_bIs64 = true;
        m_wSubsystem = h.Subsystem;
        m_qwImageBase = h.ImageBase;
        m_dwSizeOfImage = h.SizeOfImage;
        directoryCount = h.NumberOfRvaAndSizes;
        directories = optional + offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory);
    } else if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        IMAGE_OPTIONAL_HEADER32 h;
        if (!ReadAt(m_data, optional, &h)) return false;
        m_bIs64 = false;
        m_wSubsystem = h.Subsystem;
        m_qwImageBase = h.ImageBase;
        m_dwSizeOfImage = h.SizeOfImage;
        directoryCount = h.NumberOfRvaAndSizes;
        directories = optional + offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory);
    } else {
        return false;
    }
    for (DWORD i = 0; i < directoryCount && i < IMAGE_NUMBEROF_DIRECTORY_ENTRIES; ++i) {
        IMAGE_DATA_DIRECTORY d;
        if (!ReadAt(m_data, directories + i * sizeof(d), &d)) return false;
        m_directories.push_back(d);
    }
    size_t sectionTable = optional + file.SizeOfOptionalHeader;
    for (WORD i = 0; i < file.NumberOfSections; ++i) {
        IMAGE_SECTION_HEADER s;
        if (!ReadAt(m_data, sectionTable + i * sizeof(s), &s)) return false;
        PeSection section;
        section.name.assign(reinterpret_cast<const char*>(s.Name), strnlen(reinterpret_cast<const char*>(s.Name), 8));
        section.virtualAddress = s.VirtualAddress;
        section.virtualSize = s.Misc.VirtualSize;
        section.rawOffset = s.PointerToRawData;
        section.rawSize = s.SizeOfRawData;
        section.characteristics = s.Characteristics;
        m_sections.push_back(section);
    }
    return true;
}

const IMAGE_DATA_DIRECTORY* PeImage::Directory(int index) const
{
    if (index < 0 || static_cast<size_t>(index) >= m_directories.size()) return nullptr;
    const IMAGE_DATA_DIRECTORY* d = &m_directories[static_cast<size_t>(index)];
    return d->VirtualAddress != 0 ? d : nullptr;
}

const PeSection* PeImage::FindSection(const std::string& name) const
{
    for (const PeSection& s : m_sections)
        if (s.name == name) return &s;
    return nullptr;
}

const PeSection* PeImage::SectionOfRva(uint32_t rva) const
{
    for (const PeSection& s : m_sections) {
        uint32_t extent = s.virtualSize ? s.virtualSize : s.rawSize;
        if (rva >= s.virtualAddress && rva - s.virtualAddress < extent) return &s;
    }
    return nullptr;
}

const uint8_t* PeImage::AtRva(uint32_t rva, size_t size) const
{
    const PeSection* s = SectionOfRva(rva);
    if (!s) return nullptr;
    uint64_t within = rva - s->virtualAddress;
    if (within + size > s->rawSize) return nullptr;
    uint64_t offset = s->rawOffset + within;
    if (offset + size > m_data.size()) return nullptr;
    return m_data.data() + offset;
}

bool PeImage::ReadU16(uint32_t rva, uint16_t* value) const
{
    const uint8_t* p = AtRva(rva, 2);
    if (!p) return false;
    *value = static_cast<uint16_t>(p[0] | (p[1] << 8));
    return true;
}

bool PeImage::ReadU32(uint32_t rva, uint32_t* value) const
{
    const uint8_t* p = AtRva(rva, 4);
    if (!p) return false;
    memcpy(value, p, 4);
    return true;
}

bool PeImage::ReadPointer(uint32_t rva, uint64_t* value) const
{
    if (m_bIs64) {
        const uint8_t* p = AtRva(rva, 8);
        if (!p) return false;
        memcpy(value, p, 8);
        return true;
    }
    uint32_t narrow;
    if (!ReadU32(rva, &narrow)) return false;
    *value = narrow;
    return true;
}

std::string PeImage::StringAtRva(uint32_t rva) const
{
    const PeSection* s = SectionOfRva(rva);
    if (!s) return std::string();
    const uint8_t* p = AtRva(rva, 1);
    if (!p) return std::string();
    size_t available = s->rawSize - (rva - s->virtualAddress);
    size_t length = strnlen(reinterpret_cast<const char*>(p), available);
    if (length == available) return std::string();
    return std::string(reinterpret_cast<const char*>(p), length);
}

uint32_t PeImage::RvaOfVa(uint64_t va) const
{
    if (va < m_qwImageBase || va - m_qwImageBase >= m_dwSizeOfImage) return 0;
    return static_cast<uint32_t>(va - m_qwImageBase);
}

std::string PeImage::ExportDllName() const
{
    const IMAGE_DATA_DIRECTORY* d = Directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
    const uint8_t* p = d ? AtRva(d->VirtualAddress, sizeof(IMAGE_EXPORT_DIRECTORY)) : nullptr;
    if (!p) return std::string();
    IMAGE_EXPORT_DIRECTORY e;
    memcpy(&e, p, sizeof(e));
    return StringAtRva(e.Name);
}

std::vector<PeExport> PeImage::Exports() const
{
    std::vector<PeExport> result;
    const IMAGE_DATA_DIRECTORY* d = Directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
    const uint8_t* p = d ? AtRva(d->VirtualAddress, sizeof(IMAGE_EXPORT_DIRECTORY)) : nullptr;
    if (!p) return result;
    IMAGE_EXPORT_DIRECTORY e;
    memcpy(&e, p, sizeof(e));
    for (DWORD i = 0; i < e.NumberOfNames; ++i) {
        uint32_t nameRva, functionRva;
        uint16_t index;
        if (!ReadU32(e.AddressOfNames + i * 4, &nameRva) || !ReadU16(e.AddressOfNameOrdinals + i * 2, &index))
            return {};
        if (index >= e.NumberOfFunctions || !ReadU32(e.AddressOfFunctions + index * 4u, &functionRva)) return {};
        PeExport x;
        x.name = StringAtRva(nameRva);
        x.ordinal = static_cast<uint16_t>(e.Base + index);
        x.rva = functionRva;
        result.push_back(x);
    }
    return result;
}

std::vector<std::string> PeImage::ImportDllNames() const
{
    std::vector<std::string> names;
    const IMAGE_DATA_DIRECTORY* d = Directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
    if (!d) return names;
    for (uint32_t rva = d->VirtualAddress;; rva += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const uint8_t* p = AtRva(rva, sizeof(IMAGE_IMPORT_DESCRIPTOR));
        if (!p) return {};
        IMAGE_IMPORT_DESCRIPTOR desc;
        memcpy(&desc, p, sizeof(desc));
        if (desc.Name == 0) break;
        names.push_back(StringAtRva(desc.Name));
    }
    return names;
}

std::string PeImage::ImportAtSlot(uint32_t iatRva) const
{
    const IMAGE_DATA_DIRECTORY* d = Directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
    if (!d) return std::string();
    const uint32_t slot = PointerSize();
    for (uint32_t rva = d->VirtualAddress;; rva += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const uint8_t* p = AtRva(rva, sizeof(IMAGE_IMPORT_DESCRIPTOR));
        if (!p) return std::string();
        IMAGE_IMPORT_DESCRIPTOR desc;
        memcpy(&desc, p, sizeof(desc));
        if (desc.Name == 0) return std::string();
        if (iatRva < desc.FirstThunk || (iatRva - desc.FirstThunk) % slot != 0) continue;
        uint32_t lookupTable = desc.OriginalFirstThunk ? desc.OriginalFirstThunk : desc.FirstThunk;
        // Walk this descriptor's entries up to the slot, stopping at its end.
        for (uint32_t i = 0;; ++i) {
            uint64_t entry;
            if (!ReadPointer(lookupTable + i * slot, &entry) || entry == 0) break;
            if (desc.FirstThunk + i * slot != iatRva) continue;
            uint64_t ordinalFlag = m_bIs64 ? IMAGE_ORDINAL_FLAG64 : IMAGE_ORDINAL_FLAG32;
            if (entry & ordinalFlag) return std::string();
            return StringAtRva(desc.Name) + "!" + StringAtRva(static_cast<uint32_t>(entry) + 2);
        }
    }
}

std::vector<uint32_t> PeImage::FindInSection(const std::string& name, const void* bytes, size_t size) const
{
    std::vector<uint32_t> hits;
    const PeSection* s = FindSection(name);
    if (!s || size == 0) return hits;
    uint32_t length = s->virtualSize ? std::min(s->virtualSize, s->rawSize) : s->rawSize;
    const uint8_t* start = AtRva(s->virtualAddress, length);
    if (!start) return hits;
    for (uint32_t i = 0; i + size <= length; ++i)
        if (memcmp(start + i, bytes, size) == 0) hits.push_back(s->virtualAddress + i);
    return hits;
}

}  // namespace q5test
