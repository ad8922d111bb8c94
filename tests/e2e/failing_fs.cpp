// A read-only FUSE file system of the read-error tests (read_errors.py). It
// serves files of the same deterministic bytes, each described by one argument:
//   failing_fs MOUNTPOINT NAME:SIZE[:bad=OFFSET][:flip=OFFSET][:opener-stat] ...
// bad:  every read that reaches OFFSET or beyond fails with EIO.
// flip: the byte at OFFSET differs from the other files' byte there.
// opener-stat: while the file is open, asking for its attributes fails with
//   EIO for anyone but the one who opened it. Under Wine the wineserver opens
//   files and the program asks for the size itself, so the size query fails
//   after the open succeeded.
// It runs in the foreground until unmounted.
//
// The failure must land at the page the test chose, neither earlier nor never:
// the kernel reads ahead around a fault and merges pages into large requests,
// and it takes a short read as the end of the file, zero-filling the rest. So
// there is no readahead, a request is at most one page, a request that reaches
// the bad offset fails whole, and every other one is answered in full. The
// attributes are never cached, so the size is always this program's answer.
#define FUSE_USE_VERSION 35
#include <fuse.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint64_t NONE = UINT64_MAX;
constexpr unsigned PAGE = 4096;

struct File {
    std::string name;
    uint64_t size = 0;
    uint64_t bad = NONE;
    uint64_t flip = NONE;
    bool openerStat = false;
    pid_t opener = 0;  // who holds it open, for opener-stat
    int opens = 0;
};

std::vector<File> files;

// The byte at `offset` of every file: a mix of its word's index, so no page
// equals another page or a page of zeros.
unsigned char ByteAt(uint64_t offset) {
    uint64_t word = offset / 8 + 0x9E3779B97F4A7C15ull;
    word = (word ^ (word >> 30)) * 0xBF58476D1CE4E5B9ull;
    word = (word ^ (word >> 27)) * 0x94D049BB133111EBull;
    word ^= word >> 31;
    return static_cast<unsigned char>(word >> (offset % 8 * 8));
}

File* Find(const char* path) {
    for (File& file : files) {
        if (path[0] == '/' && file.name == path + 1) return &file;
    }
    return nullptr;
}

void* Init(fuse_conn_info* connection, fuse_config* config) {
    connection->max_readahead = 0;
    connection->max_read = PAGE;
    config->entry_timeout = config->attr_timeout = config->negative_timeout = 0;
    return nullptr;
}

int GetAttributes(const char* path, struct stat* attributes, fuse_file_info*) {
    *attributes = {};
    if (std::strcmp(path, "/") == 0) {
        attributes->st_mode = S_IFDIR | 0555;
        attributes->st_nlink = 2;
        return 0;
    }
    const File* file = Find(path);
    if (file == nullptr) return -ENOENT;
    if (file->openerStat && file->opens > 0 && fuse_get_context()->pid != file->opener) {
        return -EIO;
    }
    attributes->st_mode = S_IFREG | 0444;
    attributes->st_nlink = 1;
    attributes->st_size = static_cast<off_t>(file->size);
    return 0;
}

int ReadDirectory(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
                  fuse_readdir_flags) {
    if (std::strcmp(path, "/") != 0) return -ENOENT;
    fill(buffer, ".", nullptr, 0, FUSE_FILL_DIR_PLUS);
    fill(buffer, "..", nullptr, 0, FUSE_FILL_DIR_PLUS);
    for (const File& file : files) fill(buffer, file.name.c_str(), nullptr, 0, FUSE_FILL_DIR_PLUS);
    return 0;
}

int Open(const char* path, fuse_file_info* info) {
    File* file = Find(path);
    if (file == nullptr) return -ENOENT;
    if ((info->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
    if (file->opens++ == 0) file->opener = fuse_get_context()->pid;
    return 0;
}

int Release(const char* path, fuse_file_info*) {
    File* file = Find(path);
    if (file != nullptr && file->opens > 0) --file->opens;
    return 0;
}

int Read(const char* path, char* buffer, size_t length, off_t start, fuse_file_info*) {
    const File* file = Find(path);
    if (file == nullptr) return -ENOENT;
    const uint64_t offset = static_cast<uint64_t>(start);
    if (offset >= file->size) return 0;
    if (length > file->size - offset) length = file->size - offset;
    if (file->bad != NONE && offset + length > file->bad) return -EIO;
    for (size_t i = 0; i < length; ++i) buffer[i] = static_cast<char>(ByteAt(offset + i));
    if (file->flip >= offset && file->flip - offset < length) buffer[file->flip - offset] ^= 1;
    return static_cast<int>(length);
}

bool ParseNumber(const std::string& text, uint64_t* value) {
    char* end;
    errno = 0;
    *value = std::strtoull(text.c_str(), &end, 0);
    return errno == 0 && !text.empty() && *end == 0 && *value != NONE;
}

// NAME:SIZE followed by the fields above.
bool ParseFile(const std::string& description) {
    std::vector<std::string> fields;
    for (size_t start = 0;;) {
        const size_t colon = description.find(':', start);
        fields.push_back(description.substr(start, colon - start));
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    File file;
    file.name = fields[0];
    if (fields.size() < 2 || file.name.empty() || file.name.find('/') != std::string::npos ||
        !ParseNumber(fields[1], &file.size)) {
        return false;
    }
    for (size_t i = 2; i < fields.size(); ++i) {
        const std::string& field = fields[i];
        if (field.starts_with("bad=")) {
            if (!ParseNumber(field.substr(4), &file.bad)) return false;
        } else if (field.starts_with("flip=")) {
            if (!ParseNumber(field.substr(5), &file.flip)) return false;
        } else if (field == "opener-stat") {
            file.openerStat = true;
        } else {
            return false;
        }
    }
    files.push_back(file);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s MOUNTPOINT NAME:SIZE[:bad=N][:flip=N][:opener-stat] ...\n",
                     argv[0]);
        return 2;
    }
    for (int i = 2; i < argc; ++i) {
        if (!ParseFile(argv[i])) {
            std::fprintf(stderr, "%s: bad file description %s\n", argv[0], argv[i]);
            return 2;
        }
    }
    fuse_operations operations = {};
    operations.init = Init;
    operations.getattr = GetAttributes;
    operations.readdir = ReadDirectory;
    operations.open = Open;
    operations.release = Release;
    operations.read = Read;
    // Foreground, single-threaded (so the records above need no lock), one
    // page per request.
    char options[] = "ro,max_read=4096,fsname=failing_fs,subtype=failing_fs";
    char foreground[] = "-f", single[] = "-s", option[] = "-o";
    char* fuseArgv[] = {argv[0], argv[1], foreground, single, option, options, nullptr};
    return fuse_main(6, fuseArgv, &operations, nullptr);
}
