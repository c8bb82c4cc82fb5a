// A small tmpfs of a test's own at a directory (mounting needs root), gone
// with it, which a file can fill to the last byte.
#pragma once

#include <sys/mount.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace jwgate::test {

class SmallFileSystem {
public:
    SmallFileSystem(const std::string& path, const char* size) : path_(path) {
        std::filesystem::create_directories(path);
        mounted_ = mount("tmpfs", path.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) == 0;
    }
    ~SmallFileSystem() {
        if (mounted_) umount2(path_.c_str(), MNT_DETACH);
    }
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;

    bool mounted() const { return mounted_; }
    // Writes a file until the file system has no room left.
    void Fill() const {
        std::ofstream filler(path_ + "/filler", std::ios::binary);
        const std::string block(4096, 'x');
        while (filler.write(block.data(), static_cast<std::streamsize>(block.size()))) filler.flush();
    }
    void Empty() const { std::filesystem::remove(path_ + "/filler"); }

private:
    std::string path_;
    bool mounted_ = false;
};

}  // namespace jwgate::test
