// The plugin's object lookup against glibc's: for code of the program, of libc
// and of the plugin, the unwinder must be given the same exception tables.
#include <dlfcn.h>
#include <gtest/gtest.h>

namespace {

using FindObject = int (*)(void*, dl_find_object*);

TEST(FindObject, GivesTheExceptionTablesGlibcGives) {
    auto glibc =
        reinterpret_cast<FindObject>(dlvsym(RTLD_DEFAULT, "_dl_find_object", "GLIBC_2.35"));
    ASSERT_NE(glibc, nullptr);
    void* plugin = dlopen(VANTREL_PLUGIN_FILE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(plugin, nullptr) << dlerror();
    struct Code {
        const char* object;
        void* address;
    } codes[] = {
        {"program", reinterpret_cast<void*>(&_dl_find_object)},
        {"libc", dlsym(RTLD_DEFAULT, "abort")},
        {"plugin", dlsym(plugin, "Load")},
    };
    for (const Code& code : codes) {
        dl_find_object ours{}, theirs{};
        ASSERT_EQ(_dl_find_object(code.address, &ours), 0) << code.object;
        ASSERT_EQ(glibc(code.address, &theirs), 0) << code.object;
        EXPECT_NE(ours.dlfo_eh_frame, nullptr) << code.object;
        EXPECT_EQ(ours.dlfo_eh_frame, theirs.dlfo_eh_frame) << code.object;
    }
    dlclose(plugin);

    dl_find_object unused{};
    void* nowhere = reinterpret_cast<void*>(16);
    EXPECT_EQ(_dl_find_object(nowhere, &unused), -1);
    EXPECT_EQ(glibc(nowhere, &unused), -1);
}

}  // namespace
