#pragma once

#include "Camprogram.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <system_error>
#include <vector>

// Script files ("Tervan Script", *.tvs): a command program saved so that it
// can be loaded again or passed to another operator.
//
//   offset  size      content (integers 32-bit signed, little-endian)
//   0       3         "TVS"
//   3       4         run position when saved (ignored when loading)
//   7       4         count of entries, 0..255
//   11      44        reserved: kept in memory from a loaded file, written back
//   55      40*count  the entries, each the 40-byte record of a TCamCommand
//
// A record: kind (1 byte), 3 padding, LAM operation, addressed (1 byte),
// 3 padding, mode, crate, N, A, F, data, code. Padding is written as zero and
// ignored when reading. Bytes behind the last record are ignored.
//
// Loading is all or nothing: a file that is not a script, claims a count
// outside 0..255 or is shorter than its count demands leaves the program
// exactly as it was. Saving writes a temporary file beside the target and
// renames it over the target, so a failed save never leaves a half-written
// file in place of a good one.
class TCamScript
{
public:
    static constexpr std::size_t magicSize = 3;
    static constexpr std::size_t headerSize = 52; // run position, count, reserved
    static constexpr std::size_t recordSize = 40;
    static constexpr std::size_t fixedSize = magicSize + headerSize;
    static constexpr std::int32_t maxCount = TCamProgram::capacity;
    static constexpr std::size_t maxSize = fixedSize + recordSize * maxCount;

    enum class Status {
        Ok,
        Incompatible, // not a script file, or a damaged one
        OpenFailed,   // the file cannot be opened (load) or the temporary file created (save)
        ReadFailed,
        ReadOnly,     // the target exists and is marked read-only, or is no regular file
        WriteFailed,  // writing, flushing or replacing the target failed
    };
    struct Outcome
    {
        Status status = Status::Ok;
        std::error_code error; // the system's reason, when there is one
        bool ok() const { return status == Status::Ok; }
    };

    // The file image of `program`: its header as it stands and entries
    // 0..count-1. A count outside 0..255 (only a run's temporary entry can
    // make it 256) is written as the nearest one in range.
    static std::vector<std::uint8_t> Encode(const TCamProgram &program);

    // Replaces count, reserved bytes and entries 0..count-1 of `program` by
    // those of `image` and sets the run position to 0; slots at or beyond the
    // new count keep their content. Returns false and leaves `program`
    // untouched when `image` is not a complete script.
    static bool Decode(std::span<const std::uint8_t> image, TCamProgram &program);

    // Writes `program` to `path` through a temporary file in the same folder.
    static Outcome Save(const std::filesystem::path &path, const TCamProgram &program);

    // True when Decode would take `image`.
    static bool Valid(std::span<const std::uint8_t> image);

    // Reads `path`, opened for reading only, into `image` and checks that it
    // is a complete script; `image` is left empty when it is not.
    static Outcome Read(const std::filesystem::path &path, std::vector<std::uint8_t> &image);

    // Read, then Decode into `program`.
    static Outcome Load(const std::filesystem::path &path, TCamProgram &program);
};
