// Reads a PE file from disk as plain bytes, so tests can check images of
// either bitness (the x86 builds cannot be loaded or run here). Every
// lookup is bounds-checked against the file: a damaged or truncated image
// gives empty results, never a read past the buffer.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace q5test {

struct PeSection {
    std::string name;
    uint32_t virtualAddress = 0;
    uint32_t virtualSize = 0;
    uint32_t rawOffset = 0;
    uint32_t rawSize = 0;
    uint32_t characteristics = 0;
};

struct PeExport {
    std::string name;
    uint16_t ordinal = 0;
    uint32_t rva = 0;
};

class PeImage {
public:
    // False when the file cannot be read or is not a PE image.
    bool Load(const wchar_t* path);

    bool Is64() const { return m_bIs64; }
    uint16_t Machine() const { return m_wMachine; }
    uint16_t Characteristics() const { return m_wCharacteristics; }
    uint16_t Subsystem() const { return m_wSubsystem; }
    uint64_t ImageBase() const { return m_qwImageBase; }
    uint32_t PointerSize() const { return m_bIs64 ? 8 : 4; }

    const std::vector<PeSection>& Sections() const { return m_sections; }
    const PeSection* FindSection(const std::string& name) const;
    // The section whose virtual range holds rva, or null.
    const PeSection* SectionOfRva(uint32_t rva) const;

    // The module name that the export directory records.
    std::string ExportDllName() const;
    std::vector<PeExport> Exports() const;
    std::vector<std::string> ImportDllNames() const;
    // "dll!function" for the import address table slot at iatRva, or "".
    std::string ImportAtSlot(uint32_t iatRva) const;

    // RVAs of every occurrence of the bytes in the named section's file data.
    std::vector<uint32_t> FindInSection(const std::string& section, const void* bytes, size_t size) const;

    // The file bytes behind [rva, rva + size), or null when the range is not
    // wholly backed by one section's file data.
    const uint8_t* AtRva(uint32_t rva, size_t size) const;
    // Little-endian reads at an RVA; false when out of range.
    bool ReadU16(uint32_t rva, uint16_t* value) const;
    bool ReadU32(uint32_t rva, uint32_t* value) const;
    // A pointer-sized value (4 or 8 bytes by bitness).
    bool ReadPointer(uint32_t rva, uint64_t* value) const;
    // A NUL-terminated ASCII string at an RVA (empty when unterminated).
    std::string StringAtRva(uint32_t rva) const;

    // RVA of a virtual address of this image at its preferred base; 0 when
    // it lies outside the image.
    uint32_t RvaOfVa(uint64_t va) const;

private:
    bool ParseHeaders();
    const IMAGE_DATA_DIRECTORY* Directory(int index) const;

    std::vector<uint8_t> m_data;
    std::vector<PeSection> m_sections;
    bool m_bIs64 = false;
    uint16_t m_wMachine = 0;
    uint16_t m_wCharacteristics = 0;
    uint16_t m_wSubsystem = 0;
    uint64_t m_qwImageBase = 0;
    uint32_t m_dwSizeOfImage = 0;
    std::vector<IMAGE_DATA_DIRECTORY> m_directories;
};

}  // namespace q5test
