// One-entry ZIP archives held in memory, through minizip with the
// simulator's own memory streams.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace oamsim {

// Deflates `content` as the single entry `entryName` of a new archive.
// Gives nullopt only if minizip fails.
std::optional<std::string> ZipOneEntry(const std::string& entryName, const std::string& content);

struct Unzipped {
    std::string entryName;
    std::string content;
};

// Opens an archive held in memory and extracts entry 0 in full, checking
// its CRC and that it is not larger than `maxSize` (an archive that claims
// more is refused before anything is inflated). On failure gives nullopt
// and a reason in `why`; `tooLarge`, when given, receives the entry's size
// when that was the refusal (0 otherwise), to tell it from a damaged archive.
std::optional<Unzipped> UnzipFirstEntry(const std::string& archive, uint64_t maxSize, std::string& why,
                                        uint64_t* tooLarge = nullptr);

}  // namespace oamsim
