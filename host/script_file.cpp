#include "host/script_file.h"

#include <cstdint>
#include <cstring>

namespace host {

namespace {

// Byte offsets of the header's fields, which is little-endian and unpadded.
constexpr uint32_t kSizeField = 0;
constexpr uint32_t kEntrySizeField = 10;
constexpr uint32_t kDataField = 16;
constexpr uint32_t kPublicsField = 32;
constexpr uint32_t kNativesField = 36;
constexpr uint32_t kPubVarsField = 44;
constexpr uint32_t kTagsField = 48;
constexpr uint32_t kHeaderBytes = 56;
// An entry's address cell, then the offset of its name.
constexpr uint32_t kNameOffsetInEntry = 4;

// The image as far as its header says it reaches; every read checks it.
class Image {
  public:
    explicit Image(const AMX* amx) : base_(amx->base) {
        int32_t size = 0;
        if (base_ != nullptr) {
            std::memcpy(&size, base_ + kSizeField, sizeof size);
        }
        size_ = size >= static_cast<int32_t>(kHeaderBytes) ? static_cast<uint32_t>(size) : 0;
    }

    bool valid() const { return size_ != 0; }
    bool reaches(uint32_t end) const { return end <= size_; }

    template <typename Field>
    bool read(uint32_t offset, Field* out) const {
        if (offset > size_ || size_ - offset < sizeof(Field)) {
            return false;
        }
        std::memcpy(out, base_ + offset, sizeof(Field));
        return true;
    }

    // Compares the nul-terminated name at offset with name, reading no byte
    // past the image. False when the name does not end inside it.
    bool compareName(uint32_t offset, const char* name, int* order) const {
        if (offset >= size_) {
            return false;
        }
        const auto* stored = reinterpret_cast<const char*>(base_ + offset);
        size_t left = size_ - offset;
        const void* end = std::memchr(stored, '\0', left);
        if (end == nullptr) {
            return false;
        }
        *order = std::strcmp(stored, name);
        return true;
    }

  private:
    const unsigned char* base_;
    uint32_t size_ = 0;
};

// The entries of the table that runs from the offset in one header field to
// the one in the next, when the whole table lies inside the image.
struct Table {
    uint32_t first = 0;
    uint32_t step = 0;
    int64_t entries = 0;

    bool read(const Image& image, uint32_t startField, uint32_t endField) {
        int16_t entrySize = 0;
        uint32_t end = 0;
        if (!image.valid() || !image.read(kEntrySizeField, &entrySize) ||
            entrySize < static_cast<int16_t>(kNameOffsetInEntry + sizeof(uint32_t)) ||
            !image.read(startField, &first) || !image.read(endField, &end) || end < first ||
            !image.reaches(end)) {
            return false;
        }
        step = static_cast<uint32_t>(entrySize);
        entries = static_cast<int64_t>((end - first) / step);
        return true;
    }

    // Compares the name of an entry with name; false when the entry's name
    // does not lie inside the image.
    bool compare(const Image& image, int64_t entry, const char* name, int* order) const {
        uint32_t nameOffset = 0;
        return image.read(first + static_cast<uint32_t>(entry) * step + kNameOffsetInEntry,
                          &nameOffset) &&
               image.compareName(nameOffset, name, order);
    }
};

}  // namespace

int FindPublic(AMX* amx, const char* name, int* index) {
    Image image(amx);
    Table publics;
    if (!publics.read(image, kPublicsField, kNativesField)) {
        return AMX_ERR_NOTFOUND;
    }
    int64_t low = 0;
    int64_t high = publics.entries - 1;
    while (low <= high) {
        int64_t middle = low + (high - low) / 2;
        int order = 0;
        if (!publics.compare(image, middle, name, &order)) {
            return AMX_ERR_NOTFOUND;
        }
        if (order == 0) {
            *index = static_cast<int>(middle);
            return AMX_ERR_NONE;
        }
        if (order < 0) {
            low = middle + 1;
        } else {
            high = middle - 1;
        }
    }
    return AMX_ERR_NOTFOUND;
}

bool DeclaresPublicVariable(AMX* amx, const char* name) {
    Image image(amx);
    Table variables;
    if (!variables.read(image, kPubVarsField, kTagsField)) {
        return false;
    }
    for (int64_t entry = 0; entry < variables.entries; ++entry) {
        int order = 0;
        if (variables.compare(image, entry, name, &order) && order == 0) {
            return true;
        }
    }
    return false;
}

unsigned char* DataBlock(AMX* amx) {
    if (amx->data != nullptr) {
        return amx->data;
    }
    int32_t offset = 0;
    std::memcpy(&offset, amx->base + kDataField, sizeof offset);
    return amx->base + offset;
}

}  // namespace host
