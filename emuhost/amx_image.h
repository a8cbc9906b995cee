// A script file's image as the compilers write it and both servers keep it
// at base: the header, the public, native, library, public-variable and tag
// tables, the name table, the code, then the data. Its readers read as the
// real machine's functions do, taking the file's offsets at their word: a
// test that crafts an image gets what a crafted file gets on the servers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/host_api.h"

namespace emu {

#pragma pack(push, 1)
struct ImageHeader {
    int32_t size;
    uint16_t magic;
    char file_version;
    char amx_version;
    int16_t flags;
    int16_t defsize;
    int32_t cod;
    int32_t dat;
    int32_t hea;
    int32_t stp;
    int32_t cip;
    int32_t publics;
    int32_t natives;
    int32_t libraries;
    int32_t pubvars;
    int32_t tags;
    int32_t nametable;
};
// One entry of the public, native or public-variable table.
struct ImageEntry {
    cell address;
    uint32_t nameofs;
};
#pragma pack(pop)

static_assert(sizeof(ImageHeader) == 56, "the header is packed as in the file");
static_assert(sizeof(ImageEntry) == 8, "a table entry is packed as in the file");

inline const ImageHeader& headerOf(const unsigned char* base) {
    return *reinterpret_cast<const ImageHeader*>(base);
}
inline ImageHeader& headerOf(unsigned char* base) {
    return *reinterpret_cast<ImageHeader*>(base);
}

struct ImageContents {
    // In name order, as compilers write both tables.
    std::vector<std::string> publics;
    std::vector<std::pair<std::string, cell>> publicVariables;
    std::vector<std::string> natives;
    // The globals, public variables first, then heap and stack.
    cell globalsBytes;
    cell blockBytes;
    // The SA-MP server's usual load: the data block inside the image, after
    // the code, and the struct's data pointer null.
    bool dataInImage;
};

// The image in one allocation, right after its owner's pointer, so that the
// owner is found from any struct whose base is the image's. When the data
// block lies apart, the allocation ends where the image does: a read past
// the image's size leaves the allocation.
class ScriptImage {
  public:
    ScriptImage(const void* owner, const ImageContents& contents);

    unsigned char* base() const { return memory_.get() + kPrefix; }
    // The data block the host allocated, where the struct's data starts
    // out: in the image or apart from it.
    unsigned char* block() const { return block_; }
    bool dataInImage() const { return apart_ == nullptr; }
    static const void* ownerOf(const unsigned char* base) {
        return *reinterpret_cast<const void* const*>(base - kPrefix);
    }

  private:
    // Keeps the image aligned for cells whatever the allocator's alignment.
    static constexpr size_t kPrefix = 16;
    std::unique_ptr<unsigned char[]> memory_;
    std::unique_ptr<cell[]> apart_;
    unsigned char* block_ = nullptr;
};

// The real machine's readers of the image, without bounds: a name is read up
// to its terminator wherever the table says it is.
namespace image {
int numPublics(const unsigned char* base);
int numNatives(const unsigned char* base);
const ImageEntry& publicEntry(const unsigned char* base, int index);
const ImageEntry& nativeEntry(const unsigned char* base, int index);
const char* name(const unsigned char* base, const ImageEntry& entry);
// The longest name in the tables, as the name table's first field says.
int nameLength(const unsigned char* base);
// Searches the sorted public table by halving.
int findPublic(const unsigned char* base, const char* name, int* index);
int findNative(const unsigned char* base, const char* name, int* index);
int findPubVar(const unsigned char* base, const char* name, cell* address);
}  // namespace image

}  // namespace emu
