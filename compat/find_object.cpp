// glibc 2.35 added _dl_find_object, through which the static unwinder finds
// the exception tables of the object that holds a code address, for every
// frame an exception passes (a failed allocation in a native, say). An older
// glibc lacks it. This one, hidden inside the plugin, finds the object as the
// unwinder itself did before 2.35: it walks the loaded objects with
// dl_iterate_phdr, which holds the loader's lock meanwhile. It fills in what
// the unwinder reads: the object's exception frame header and, where the
// structure has the field (i386), the base for data-relative pointers, which
// GCC does not emit there. That base is the global offset table, as the
// unwinder's own lookup had it; glibc 2.36 passes another address there,
// which nothing reads. (ARM's 32-bit unwinder finds its tables through
// another call, which old glibc has.)
#include <dlfcn.h>
#include <link.h>

namespace {

using Address = ElfW(Addr);
using Segment = ElfW(Phdr);
using DynamicEntry = ElfW(Dyn);

struct Lookup {
    Address address;
    dl_find_object* result;
};

#if DLFO_STRUCT_HAS_EH_DBASE
// DT_PLTGOT, which the loader has relocated in place: the global offset
// table, base of data-relative pointers on i386.
void setDataBase(const dl_phdr_info& object, dl_find_object& result) {
    for (ElfW(Half) i = 0; i < object.dlpi_phnum; ++i) {
        const Segment& segment = object.dlpi_phdr[i];
        if (segment.p_type != PT_DYNAMIC) {
            continue;
        }
        auto* entry = reinterpret_cast<const DynamicEntry*>(object.dlpi_addr + segment.p_vaddr);
        for (; entry->d_tag != DT_NULL; ++entry) {
            if (entry->d_tag == DT_PLTGOT) {
                result.dlfo_eh_dbase = reinterpret_cast<void*>(entry->d_un.d_ptr);
                return;
            }
        }
    }
}
#else
void setDataBase(const dl_phdr_info&, dl_find_object&) {}
#endif

int findHolder(dl_phdr_info* object, size_t, void* raw) {
    Lookup& lookup = *static_cast<Lookup*>(raw);
    bool holds = false;
    const Segment* exceptionFrameHeader = nullptr;
    for (ElfW(Half) i = 0; i < object->dlpi_phnum; ++i) {
        const Segment& segment = object->dlpi_phdr[i];
        if (segment.p_type == PT_LOAD) {
            Address start = object->dlpi_addr + segment.p_vaddr;
            holds = holds || (lookup.address >= start && lookup.address - start < segment.p_memsz);
        } else if (segment.p_type == PT_GNU_EH_FRAME) {
            exceptionFrameHeader = &segment;
        }
    }
    if (!holds) {
        return 0;
    }
    *lookup.result = {};
    if (exceptionFrameHeader) {
        lookup.result->dlfo_eh_frame =
            reinterpret_cast<void*>(object->dlpi_addr + exceptionFrameHeader->p_vaddr);
    }
    setDataBase(*object, *lookup.result);
    return 1;
}

}  // namespace

extern "C" __attribute__((visibility("hidden"))) int _dl_find_object(
    void* address, dl_find_object* result) noexcept {
    Lookup lookup{reinterpret_cast<Address>(address), result};
    return dl_iterate_phdr(&findHolder, &lookup) != 0 ? 0 : -1;
}
