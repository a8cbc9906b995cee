#include "emuhost/amx_image.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace emu {

namespace {

constexpr int32_t kEntry = static_cast<int32_t>(sizeof(ImageEntry));
constexpr uint16_t kMagic = 0xF1E0;
constexpr char kVersion = 11;

int32_t alignUp(size_t offset, size_t to) {
    return static_cast<int32_t>((offset + to - 1) / to * to);
}

int entries(const unsigned char* base, int32_t first, int32_t last) {
    const ImageHeader& header = headerOf(base);
    return header.defsize > 0 ? (last - first) / header.defsize : 0;
}

const ImageEntry& entryAt(const unsigned char* base, int32_t table, int index) {
    return *reinterpret_cast<const ImageEntry*>(base + table + index * headerOf(base).defsize);
}

}  // namespace

ScriptImage::ScriptImage(const void* owner, const ImageContents& contents) {
    ImageHeader header{};
    header.magic = kMagic;
    header.file_version = kVersion;
    header.amx_version = kVersion;
    header.defsize = kEntry;
    header.publics = static_cast<int32_t>(sizeof(ImageHeader));
    header.natives = header.publics + kEntry * static_cast<int32_t>(contents.publics.size());
    header.libraries = header.natives + kEntry * static_cast<int32_t>(contents.natives.size());
    header.pubvars = header.libraries;
    header.tags = header.pubvars + kEntry * static_cast<int32_t>(contents.publicVariables.size());
    header.nametable = header.tags;
    size_t names = sizeof(uint16_t);
    size_t longest = 0;
    auto count = [&](const std::string& name) {
        names += name.size() + 1;
        longest = std::max(longest, name.size());
    };
    std::for_each(contents.publics.begin(), contents.publics.end(), count);
    std::for_each(contents.natives.begin(), contents.natives.end(), count);
    for (const auto& variable : contents.publicVariables) {
        count(variable.first);
    }
    header.cod = alignUp(static_cast<size_t>(header.nametable) + names, sizeof(cell));
    // One instruction's room for every public to start at.
    header.dat = alignUp(
        static_cast<size_t>(header.cod) + sizeof(cell) * (contents.publics.size() + 1), kPrefix);
    header.hea = header.dat + contents.globalsBytes;
    header.stp = header.dat + contents.blockBytes;
    header.cip = -1;
    header.size = header.hea;

    size_t allocated = static_cast<size_t>(contents.dataInImage ? header.stp : header.size);
    memory_.reset(new unsigned char[kPrefix + allocated]());
    *reinterpret_cast<const void**>(memory_.get()) = owner;
    unsigned char* base = this->base();
    std::memcpy(base, &header, sizeof header);

    auto nameofs = static_cast<uint32_t>(header.nametable + sizeof(uint16_t));
    auto longestField = static_cast<uint16_t>(longest);
    std::memcpy(base + header.nametable, &longestField, sizeof longestField);
    auto write = [&](int32_t table, size_t index, cell address, const std::string& name) {
        ImageEntry entry{address, nameofs};
        std::memcpy(base + table + kEntry * static_cast<int32_t>(index), &entry, sizeof entry);
        std::memcpy(base + nameofs, name.c_str(), name.size() + 1);
        nameofs += static_cast<uint32_t>(name.size() + 1);
    };
    for (size_t i = 0; i < contents.publics.size(); ++i) {
        write(header.publics, i, static_cast<cell>(i * sizeof(cell)), contents.publics[i]);
    }
    for (size_t i = 0; i < contents.natives.size(); ++i) {
        write(header.natives, i, 0, contents.natives[i]);
    }
    // Public variables lead the globals, one cell each.
    for (size_t i = 0; i < contents.publicVariables.size(); ++i) {
        auto address = static_cast<cell>(i * sizeof(cell));
        write(header.pubvars, i, address, contents.publicVariables[i].first);
        std::memcpy(base + header.dat + address, &contents.publicVariables[i].second, sizeof(cell));
    }

    if (contents.dataInImage) {
        block_ = base + header.dat;
    } else {
        apart_.reset(new cell[static_cast<size_t>(contents.blockBytes) / sizeof(cell)]());
        block_ = reinterpret_cast<unsigned char*>(apart_.get());
        std::memcpy(block_, base + header.dat, static_cast<size_t>(contents.globalsBytes));
    }
}

namespace image {

int numPublics(const unsigned char* base) {
    const ImageHeader& header = headerOf(base);
    return entries(base, header.publics, header.natives);
}

int numNatives(const unsigned char* base) {
    const ImageHeader& header = headerOf(base);
    return entries(base, header.natives, header.libraries);
}

const ImageEntry& publicEntry(const unsigned char* base, int index) {
    return entryAt(base, headerOf(base).publics, index);
}

const ImageEntry& nativeEntry(const unsigned char* base, int index) {
    return entryAt(base, headerOf(base).natives, index);
}

const char* name(const unsigned char* base, const ImageEntry& entry) {
    return reinterpret_cast<const char*>(base + entry.nameofs);
}

int nameLength(const unsigned char* base) {
    uint16_t longest = 0;
    std::memcpy(&longest, base + headerOf(base).nametable, sizeof longest);
    return longest;
}

int findPublic(const unsigned char* base, const char* wanted, int* index) {
    int low = 0;
    int high = numPublics(base) - 1;
    while (low <= high) {
        int middle = low + (high - low) / 2;
        int order = std::strcmp(name(base, publicEntry(base, middle)), wanted);
        if (order == 0) {
            *index = middle;
            return AMX_ERR_NONE;
        }
        if (order < 0) {
            low = middle + 1;
        } else {
            high = middle - 1;
        }
    }
    *index = INT_MAX;
    return AMX_ERR_NOTFOUND;
}

int findNative(const unsigned char* base, const char* wanted, int* index) {
    int count = numNatives(base);
    for (int i = 0; i < count; ++i) {
        if (std::strcmp(name(base, nativeEntry(base, i)), wanted) == 0) {
            *index = i;
            return AMX_ERR_NONE;
        }
    }
    *index = INT_MAX;
    return AMX_ERR_NOTFOUND;
}

int findPubVar(const unsigned char* base, const char* wanted, cell* address) {
    const ImageHeader& header = headerOf(base);
    int count = entries(base, header.pubvars, header.tags);
    for (int i = 0; i < count; ++i) {
        const ImageEntry& entry = entryAt(base, header.pubvars, i);
        if (std::strcmp(name(base, entry), wanted) == 0) {
            *address = entry.address;
            return AMX_ERR_NONE;
        }
    }
    return AMX_ERR_NOTFOUND;
}

}  // namespace image

}  // namespace emu
