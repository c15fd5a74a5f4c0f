// What a save does so that nothing is lost when something goes wrong: the
// temporaries it writes first, and putting one in its output's place by a
// rename or by writing the output in place (ReplaceFileA, platform.h).
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "surface/services.h"
#include "surface/testing.h"

namespace platform {

namespace {

using Kind = port::Identity::Kind;
using detail::Pending;

// Not a failure: the output is to be written in place (a code of the tool's own).
constexpr port::Code kWriteInPlace = 0x20000001;

// A name for a new temporary that no file in its folder is likely to have:
// `prefix`, six letters or digits drawn from `seed` and a count (which keeps
// the names of one process apart), and ".tmp".
std::string TemporaryName(const std::string& prefix, std::uint64_t seed) {
    static std::atomic<std::uint64_t> counter{0};
    std::uint64_t x = (seed + ++counter) * 0x9E3779B97F4A7C15u;
    x ^= x >> 29;
    static constexpr char kLetters[] =
        "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    const std::uint64_t count = port::kCaseSensitiveNames ? 62 : 36;
    std::string name = prefix;
    for (int i = 0; i < 6; ++i, x /= count) {
        name += kLetters[x % count];
    }
    return name + ".tmp";
}

std::string WithSeparator(const std::string& folder) {
    return detail::EndsInSeparator(folder) ? folder : folder + port::kSeparator;
}

std::string FolderOf(const std::string& path) {
    std::string folder = path;
    PathRemoveFileSpecA(folder.data());
    folder.resize(std::strlen(folder.c_str()));
    return folder.empty() ? std::string(".") : folder;
}

// Makes a pending temporary in `folder`, its path in `path`.
port::Code MakeTemporary(const std::string& folder, const std::string& prefix, std::string* path) {
    port::Identity dir;
    port::Code code = port::QueryPath(folder.c_str(), &dir);
    if (code == ERROR_SUCCESS && dir.kind != Kind::kFolder) {
        code = ERROR_PATH_NOT_FOUND;
    }
    detail::PrepareTermination();
    for (int attempt = 0; attempt < 100 && code == ERROR_SUCCESS; ++attempt) {
        *path = WithSeparator(folder) + TemporaryName(prefix, port::UniqueSeed());
        // No termination between making the file and noting it for removal.
        const detail::HeldTermination held;
        detail::OpenFile file;
        bool vanishes = false;
        code = port::CreateTemporary(path->c_str(), file.put(), &vanishes);
        if (code == ERROR_SUCCESS) {
            code = detail::AddPending(*path, file.get(), vanishes);
            if (code == ERROR_SUCCESS) {
                (void)file.release();  // the registry's now
                return ERROR_SUCCESS;
            }
            if (!vanishes) {
                (void)port::Unlink(path->c_str());
            }
        }
        if (code == ERROR_FILE_EXISTS) {
            code = ERROR_SUCCESS;  // another name
        }
    }
    return code == ERROR_SUCCESS ? ERROR_FILE_EXISTS : code;
}

// A heap block, freed on every path.
class Buffer {
  public:
    static constexpr DWORD kBytes = DWORD{1} << 20;
    Buffer() : bytes_(static_cast<std::uint8_t*>(port::AllocateBlock(kBytes, false))) {}
    ~Buffer() { port::FreeBlock(bytes_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    std::uint8_t* get() const { return bytes_; }

  private:
    std::uint8_t* bytes_;
};

// Writes the whole of `in` (`size` bytes) over `out` from its start, ends
// `out` there and puts it on the disk.
port::Code CopyWhole(port::File in, port::File out, std::uint64_t size, const Buffer& buffer) {
    port::Code code = ERROR_SUCCESS;
    for (std::uint64_t at = 0; code == ERROR_SUCCESS && at < size;) {
        const DWORD want =
            size - at < Buffer::kBytes ? static_cast<DWORD>(size - at) : Buffer::kBytes;
        DWORD got = 0;
        code = port::ReadAt(in, buffer.get(), want, at, &got);
        code = code == ERROR_SUCCESS && got == 0 ? ERROR_IO_DEVICE : code;  // it shrank
        for (DWORD done = 0, n = 0; code == ERROR_SUCCESS && done < got; done += n) {
            code = port::WriteAt(out, buffer.get() + done, got - done, at + done, &n);
            code = code == ERROR_SUCCESS && n == 0 ? ERROR_DISK_FULL : code;
        }
        at += got;
    }
    code = code == ERROR_SUCCESS ? port::SetLength(out, size) : code;
    if (code == ERROR_SUCCESS) {
        detail::CountDataFlush();
        code = port::Flush(out);
    }
    return code;
}

// Makes room for `size` bytes in `out`, now `oldSize` long, without
// changing a byte it holds: the file system's reservation, or else zeros
// written past its end. A failure leaves the file as it was.
port::Code ReserveRoom(port::File out, std::uint64_t oldSize, std::uint64_t size) {
    port::Code code = size == 0 ? ERROR_SUCCESS : port::Reserve(out, size);
    if (code != ERROR_NOT_SUPPORTED) {
        return code;
    }
    static const std::uint8_t zeros[1 << 16] = {};
    for (std::uint64_t at = oldSize; at < size;) {
        const DWORD n =
            size - at < sizeof zeros ? static_cast<DWORD>(size - at) : DWORD{sizeof zeros};
        DWORD done = 0;
        code = port::WriteAt(out, zeros, n, at, &done);
        if (code != ERROR_SUCCESS || done == 0) {
            (void)port::SetLength(out, oldSize);
            return code != ERROR_SUCCESS ? code : ERROR_DISK_FULL;
        }
        at += done;
    }
    return ERROR_SUCCESS;
}

// Writes the contents of `in` into the existing regular file `target`
// itself, so that it keeps its identity. Concurrent writers follow one
// another (a lock); the file-size limit and the room are checked before a
// byte changes, and termination waits until the overwrite is done. A
// failure during the overwrite leaves the file empty, never half new.
port::Code WriteInPlace(port::File in, const std::string& target) {
    const Buffer buffer;
    port::Identity from;
    port::Code code = buffer.get() == nullptr ? ERROR_NOT_ENOUGH_MEMORY : port::Query(in, &from);
    if (code == ERROR_SUCCESS && from.size > port::FileSizeLimit()) {
        code = ERROR_FILE_TOO_LARGE;
    }
    detail::OpenFile out;
    if (code == ERROR_SUCCESS) {
        code = port::Open(target.c_str(), GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, out.put());
    }
    if (code == ERROR_SUCCESS) {
        code = port::Lock(out.get());
        code = code == ERROR_NOT_SUPPORTED ? ERROR_SUCCESS : code;  // written unlocked
    }
    port::Identity old;
    if (code == ERROR_SUCCESS && (code = port::Query(out.get(), &old)) == ERROR_SUCCESS) {
        code = ReserveRoom(out.get(), old.size, from.size);
    }
    if (code != ERROR_SUCCESS) {
        return code;
    }
    const detail::HeldTermination held;
    code = CopyWhole(in, out.get(), from.size, buffer);
    if (code != ERROR_SUCCESS && port::SetLength(out.get(), 0) == ERROR_SUCCESS) {
        (void)port::Flush(out.get());
    }
    // The lock goes with the file; its close cannot undo what the flush put
    // on the disk.
    (void)out.Close();
    return code;
}

// The output as the placement finds it.
struct Output {
    std::string target;  // where the path's links lead
    std::string folder;  // the target's folder
    port::Identity old;  // what stands there now
    bool held = false;   // one of the process's own streams
    bool writeThrough = false;
};

port::Code PutByRename(Pending& temp, const Output& out);

// A temporary on another file system than the output's folder cannot be
// renamed there: its contents go into a second temporary beside the output,
// which takes the output's place instead.
port::Code CopyBeside(Pending& temp, const Output& out) {
    const bool existing = out.old.kind == Kind::kRegular;
    std::string path;
    port::Code code = MakeTemporary(out.folder, "vp", &path);
    if (code != ERROR_SUCCESS) {
        // A folder that takes no new file: the old one is written.
        return existing && code == ERROR_ACCESS_DENIED ? kWriteInPlace : code;
    }
    Pending* copy = detail::FindPending(path.c_str());
    port::Identity from;
    const Buffer buffer;
    code = buffer.get() == nullptr ? ERROR_NOT_ENOUGH_MEMORY : port::Query(temp.file, &from);
    code = code == ERROR_SUCCESS ? CopyWhole(temp.file, copy->file, from.size, buffer) : code;
    code = code == ERROR_SUCCESS ? PutByRename(*copy, out) : code;
    if (code != ERROR_SUCCESS) {
        detail::DiscardPending(path.c_str());
        return code;
    }
    return detail::DiscardPending(temp.path.c_str());  // its contents have taken its place
}

// Whether a refused rename over an existing output is one that writing the
// output in place avoids: the folder takes no new entry, the output is a
// mount point, or it is open elsewhere.
bool RefusalWritingAvoids(port::Code code) {
    return code == ERROR_ACCESS_DENIED || code == ERROR_BUSY || code == ERROR_SHARING_VIOLATION;
}

// Puts the temporary at the output's target by a rename, after giving it the
// output's identity (or a new file's mode). kWriteInPlace where only writing
// the old file keeps its identity.
port::Code PutByRename(Pending& temp, const Output& out) {
    const port::Identity* old = out.old.kind == Kind::kRegular ? &out.old : nullptr;
    // A file system without modes keeps its own for a new file.
    if (port::TakeIdentity(temp.file, old) != ERROR_SUCCESS && old != nullptr) {
        return kWriteInPlace;
    }
    port::Identity mine;
    port::Identity folder;
    port::Code code = port::Query(temp.file, &mine);
    if (code == ERROR_SUCCESS) {
        code = port::QueryPath(out.folder.c_str(), &folder);
    }
    if (code == ERROR_SUCCESS && mine.volume != folder.volume) {
        return CopyBeside(temp, out);
    }
    code = code == ERROR_SUCCESS ? detail::KeepPending(temp) : code;
    if (code == ERROR_SUCCESS) {
        const detail::HeldTermination held;  // the name is taken and forgotten as one
        code = port::RenameOver(temp.path.c_str(), out.target.c_str());
        if (code == ERROR_SUCCESS) {
            detail::ForgetPending(temp.path.c_str());
        }
    }
    if (code == ERROR_SUCCESS && out.writeThrough) {
        detail::CountFolderFlush();
        (void)port::FlushFolder(out.folder.c_str());  // the new entry reaches the disk too
    }
    return code != ERROR_SUCCESS && old != nullptr && RefusalWritingAvoids(code) ? kWriteInPlace
                                                                                 : code;
}

// Puts the file `from` at `to`; `replace` where a file standing there may be
// replaced. A file that is not a pending temporary is taken on as one for
// the time of the call.
port::Code Place(const char* from, const char* to, bool replace, bool writeThrough) {
    Output out;
    out.writeThrough = writeThrough;
    port::Code code = port::FinalPath(to, &out.target, &out.held);
    if (code == ERROR_SUCCESS) {
        code = port::QueryPath(out.target.c_str(), &out.old);
    }
    out.folder = FolderOf(out.target);
    const Kind kind = out.old.kind;
    if (code == ERROR_SUCCESS && kind != Kind::kMissing && !replace) {
        code = ERROR_ALREADY_EXISTS;
    }
    // The placement does no more than writing over the output would be allowed to.
    if (code == ERROR_SUCCESS && (kind == Kind::kFolder || kind == Kind::kDevice ||
                                  (kind == Kind::kRegular && !out.old.writable))) {
        code = ERROR_ACCESS_DENIED;
    }
    const bool adopted = code == ERROR_SUCCESS && detail::FindPending(from) == nullptr;
    if (adopted) {
        detail::OpenFile file;
        // Shared for deleting: the file is renamed while this handle holds it.
        code = port::Open(from, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                          OPEN_EXISTING, file.put());
        code = code == ERROR_SUCCESS ? detail::AddPending(from, file.get(), false) : code;
        if (code == ERROR_SUCCESS) {
            (void)file.release();  // the registry's now
        }
    }
    Pending* temp = code == ERROR_SUCCESS ? detail::FindPending(from) : nullptr;
    // Other names, or a stream the process holds: only the file itself keeps them.
    const bool inPlace = kind == Kind::kRegular && (out.held || out.old.links > 1);
    if (temp != nullptr) {
        code = inPlace ? kWriteInPlace : PutByRename(*temp, out);
        if (code == kWriteInPlace) {
            code = WriteInPlace(temp->file, out.target);
            code = code == ERROR_SUCCESS ? detail::DiscardPending(from) : code;
        }
    }
    if (code != ERROR_SUCCESS && adopted && detail::FindPending(from) != nullptr) {
        detail::ForgetPending(from);  // not ours to delete
    }
    return code;
}

BOOL Finish(port::Code code) {
    return code == ERROR_SUCCESS ? TRUE : detail::Fail(code, FALSE);
}

}  // namespace

UINT GetTempFileNameA(LPCSTR dir, LPCSTR prefix, UINT unique, LPSTR buffer, DWORD bufferSize) {
    if (dir == nullptr || buffer == nullptr || unique != 0) {
        return detail::Fail(ERROR_INVALID_PARAMETER, UINT{0});
    }
    return detail::Guarded(UINT{0}, [&]() -> UINT {
        const std::string folder = dir[0] == '\0' ? std::string(".") : std::string(dir);
        const std::string shortPrefix =
            prefix != nullptr ? std::string(prefix).substr(0, 3) : std::string();
        // The name's length is known before the file is made.
        if (WithSeparator(folder).size() + shortPrefix.size() + 6 + 4 + 1 > bufferSize) {
            return detail::Fail(ERROR_FILENAME_EXCED_RANGE, UINT{0});
        }
        std::string path;
        const port::Code code = MakeTemporary(folder, shortPrefix, &path);
        if (code != ERROR_SUCCESS) {
            return detail::Fail(code, UINT{0});
        }
        std::memcpy(buffer, path.c_str(), path.size() + 1);
        return 1;
    });
}

DWORD GetTempPathA(DWORD bufferSize, LPSTR buffer) {
    return detail::Guarded(DWORD{0}, [&]() -> DWORD {
        const std::string folder = WithSeparator(port::TemporaryFolder());
        if (buffer == nullptr || bufferSize < folder.size() + 1) {
            return static_cast<DWORD>(folder.size() + 1);
        }
        std::memcpy(buffer, folder.c_str(), folder.size() + 1);
        return static_cast<DWORD>(folder.size());
    });
}

BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
    if (from == nullptr || to == nullptr) {
        return detail::Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    return detail::Guarded(FALSE, [&]() -> BOOL {
        return Finish(Place(from, to, (flags & MOVEFILE_REPLACE_EXISTING) != 0,
                            (flags & MOVEFILE_WRITE_THROUGH) != 0));
    });
}

BOOL ReplaceFileA(LPCSTR replaced, LPCSTR replacement, LPCSTR backup, DWORD flags, LPVOID exclude,
                  LPVOID reserved) {
    (void)exclude;
    (void)reserved;
    if (replaced == nullptr || replacement == nullptr || backup != nullptr) {
        return detail::Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    return detail::Guarded(FALSE, [&]() -> BOOL {
        return Finish(Place(replacement, replaced, true, (flags & REPLACEFILE_WRITE_THROUGH) != 0));
    });
}

}  // namespace platform
