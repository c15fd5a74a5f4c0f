#!/usr/bin/env python3
"""A mutation check: puts one small deliberate fault into the tool at a time,
builds the ci preset and runs the test suite against it, and counts the
faults the suite catches.

    mutation_check.py [--only SUBSTRING] [--list] [--report]

Each fault changes behaviour (none is a change no test could see): a check
turned off, a bound moved by one, a step left out, a wrong code. A fault is
caught when a test fails, the build's tests crash or time out; it survives
when the whole suite passes. The valgrind and manual-page tests are left out
(they take long and check other things). The tree is restored after each
fault, and rebuilt at the end. Needs a configured ci build (cmake --preset
ci). --list shows the faults and whether each one's text is still in its
file; --report ends with the faults caught in each folder.
"""

import argparse
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# (file, text as it stands, text with the fault, what the fault does)
MUTATIONS = [
    # ---- The file services (files.cpp): the table of open files and its checks.
    ("src/surface/files.cpp", "                            : (file->access & GENERIC_READ) == 0\n",
     "                            : (file->access & (GENERIC_READ | GENERIC_WRITE)) == 0\n",
     "a handle opened for writing reads"),
    ("src/surface/files.cpp",
     "                      : (file->access & GENERIC_WRITE) == 0                  ? ERROR_ACCESS_DENIED",
     "                      : (file->access & GENERIC_WRITE) == 0                  ? ERROR_INVALID_HANDLE",
     "a write on a read handle gives another code"),
    ("src/surface/files.cpp", "    code = code == ERROR_SUCCESS && identity.kind == port::Identity::Kind::kFolder",
     "    code = code == ERROR_SUCCESS && identity.kind == port::Identity::Kind::kFolder && false",
     "a folder opens as a file"),
    ("src/surface/files.cpp", "if (creation < CREATE_NEW || creation > TRUNCATE_EXISTING) {",
     "if (creation < CREATE_NEW || creation > TRUNCATE_EXISTING + 1) {",
     "a disposition past the last one is taken"),
    ("src/surface/files.cpp", "code == ERROR_SUCCESS && (creation == CREATE_ALWAYS || creation == TRUNCATE_EXISTING)",
     "code == ERROR_SUCCESS && (creation == TRUNCATE_EXISTING)",
     "CREATE_ALWAYS keeps what a pending temporary holds"),
    ("src/surface/files.cpp", "    if (creation == CREATE_NEW) {\n        return ERROR_FILE_EXISTS;",
     "    if (creation == CREATE_NEW && false) {\n        return ERROR_FILE_EXISTS;",
     "CREATE_NEW opens a pending temporary"),
    # Reads and writes at the position the file keeps, and the shared read.
    ("src/surface/files.cpp", "        return Fail(code, FALSE);\n    }\n    file->position += done;",
     "        return Fail(code, FALSE);\n    }", "a read leaves the position where it was"),
    ("src/surface/files.cpp", "                                        f.position + first + *got, &n)",
     "                                        f.position + *got, &n)",
     "each part of a shared read reads from the position"),
    ("src/surface/files.cpp", "    if (file != nullptr) {\n        file->position += done;",
     "    if (file != nullptr) {\n        file->position += done / 2;",
     "a write moves the position by half its bytes"),
    # The stream kept for a second reading.
    ("src/surface/files.cpp", "        f.keptAt += *done;\n", "",
     "a kept stream gives its first bytes again and again"),
    ("src/surface/files.cpp", "    file->keptEnded = ended;\n", "    (void)ended;\n",
     "a kept stream that had ended is read on"),
    ("src/surface/files.cpp", "return keptFile != nullptr && keptPath == path ?",
     "return keptFile != nullptr && (keptPath == path || true) ?",
     "a kept stream goes to a reader of another path"),
    ("src/surface/files.cpp",
     "        if (FileObject* kept = (access & GENERIC_WRITE) == 0 ? TakeKept(path) : nullptr) {",
     "        if (FileObject* kept = TakeKept(path)) {",
     "an open for writing takes the kept stream"),
    # Write-through.
    ("src/surface/files.cpp", "if (code == ERROR_SUCCESS && file->writeThrough && file->regular && toWrite != 0) {",
     "if (code == ERROR_SUCCESS && file->writeThrough && file->regular && toWrite == 0) {",
     "a write-through write returns before its data are on the disk"),
    ("src/surface/files.cpp", "object->writeThrough = (flags & FILE_FLAG_WRITE_THROUGH) != 0;",
     "object->writeThrough = (flags & FILE_FLAG_WRITE_THROUGH) != 0 && false;",
     "FILE_FLAG_WRITE_THROUGH is ignored"),
    # The registry of pending temporaries.
    ("src/surface/files.cpp", "            pending[i].vanishes = vanishes;",
     "            pending[i].vanishes = vanishes && false;",
     "an unnamed temporary is deleted by its name, which may be another file's"),
    ("src/surface/files.cpp", "    temp.vanishes = temp.vanishes && code != ERROR_SUCCESS;",
     "    temp.vanishes = temp.vanishes && code != ERROR_SUCCESS + 1;",
     "a temporary given its name is still taken to vanish"),
    ("src/surface/files.cpp", "        port::Close(std::exchange(temp->file, port::kNoFile));", "",
     "a forgotten temporary's file stays open"),
    ("src/surface/files.cpp", "        pendingUsed[temp - pending] = 0;\n", "",
     "a temporary deleted or in place stays pending"),
    ("src/surface/files.cpp", "                            : temp->vanishes ? ERROR_SUCCESS\n",
     "                            : true           ? ERROR_SUCCESS\n",
     "a named temporary is forgotten but not deleted"),
    ("src/surface/files.cpp", "    if (code != ERROR_SUCCESS && code != ERROR_FILE_NOT_FOUND) {\n        return code;  // it stays pending",
     "    if (code != ERROR_SUCCESS) {\n        return code;  // it stays pending",
     "a temporary someone else removed stays pending and its deletion fails"),
    ("src/surface/files.cpp", "        if (pendingUsed[i] != 0 && !pending[i].vanishes) {",
     "        if (pendingUsed[i] != 0 && pending[i].vanishes) {",
     "a signal leaves a named temporary behind"),
    # Attributes and paths.
    ("src/surface/files.cpp", "        if (held || identity.kind == port::Identity::Kind::kDevice) {",
     "        if (identity.kind == port::Identity::Kind::kDevice) {",
     "standard output sent to a file is replaced, not written"),
    ("src/surface/files.cpp", "        return identity.writable ? attributes\n",
     "        return true ? attributes\n", "a file the process may not write is not read-only"),
    ("src/surface/files.cpp", "                            : last == 0 || (drive && colon + 1 == last) ? last + 1",
     "                            : (drive && colon + 1 == last)              ? last + 1",
     "a name in the root loses the root"),
    # ---- The placement policy (replace.cpp).
    ("src/surface/replace.cpp", "if (code == ERROR_SUCCESS && kind != Kind::kMissing && !replace) {",
     "if (code == ERROR_SUCCESS && kind == Kind::kFolder && !replace) {",
     "a move without MOVEFILE_REPLACE_EXISTING replaces a file"),
    ("src/surface/replace.cpp", "(kind == Kind::kFolder || kind == Kind::kDevice ||",
     "(kind == Kind::kFolder ||", "a device or a FIFO is replaced by the new file"),
    ("src/surface/replace.cpp", "(kind == Kind::kRegular && !out.old.writable))) {",
     "(kind == Kind::kRegular && false))) {", "an output the user may not write is replaced"),
    ("src/surface/replace.cpp", "const bool inPlace = kind == Kind::kRegular && (out.held || out.old.links > 1);",
     "const bool inPlace = kind == Kind::kRegular && (out.held || out.old.links > 2);",
     "a file with a second name is replaced, not written in place"),
    ("src/surface/replace.cpp", "const bool adopted = code == ERROR_SUCCESS && detail::FindPending(from) == nullptr;",
     "const bool adopted = false;", "moving a file that is no temporary does nothing and succeeds"),
    ("src/surface/replace.cpp", "        detail::ForgetPending(from);  // not ours to delete",
     "        detail::DiscardPending(from);  // not ours to delete",
     "a failed move deletes the caller's file"),
    ("src/surface/replace.cpp", "            code = code == ERROR_SUCCESS ? detail::DiscardPending(from) : code;", "",
     "a temporary written into the output stays pending"),
    # Identity kept, or the output written in place.
    ("src/surface/replace.cpp", "if (port::TakeIdentity(temp.file, old) != ERROR_SUCCESS && old != nullptr) {",
     "if (port::TakeIdentity(temp.file, nullptr) != ERROR_SUCCESS && old != nullptr) {",
     "the new file takes a new file's mode, not the output's"),
    ("src/surface/replace.cpp", "    if (port::TakeIdentity(temp.file, old) != ERROR_SUCCESS && old != nullptr) {\n        return kWriteInPlace;",
     "    if (port::TakeIdentity(temp.file, old) != ERROR_SUCCESS && old != nullptr) {\n        return ERROR_ACCESS_DENIED;",
     "an output whose identity the new file cannot take is refused, not written"),
    ("src/surface/replace.cpp", "    return code == ERROR_ACCESS_DENIED || code == ERROR_BUSY || code == ERROR_SHARING_VIOLATION;",
     "    return code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION;",
     "a busy output is not written in place"),
    ("src/surface/replace.cpp", "    return code == ERROR_ACCESS_DENIED || code == ERROR_BUSY || code == ERROR_SHARING_VIOLATION;",
     "    return code == ERROR_BUSY || code == ERROR_SHARING_VIOLATION;",
     "a refused rename in a folder that takes no new entry is not written in place"),
    ("src/surface/replace.cpp", "return code != ERROR_SUCCESS && old != nullptr && RefusalWritingAvoids(code) ? kWriteInPlace",
     "return code != ERROR_SUCCESS && RefusalWritingAvoids(code) ? kWriteInPlace",
     "a refused rename onto a missing output is written in place"),
    ("src/surface/replace.cpp", "            detail::ForgetPending(temp.path.c_str());\n", "",
     "a temporary in its place stays pending"),
    # Copies across file systems.
    ("src/surface/replace.cpp", "if (code == ERROR_SUCCESS && mine.volume != folder.volume) {",
     "if (code == ERROR_SUCCESS && mine.volume != folder.volume && false) {",
     "a temporary on another file system is renamed across"),
    ("src/surface/replace.cpp", "        return existing && code == ERROR_ACCESS_DENIED ? kWriteInPlace : code;",
     "        return existing && code == ERROR_ACCESS_DENIED && false ? kWriteInPlace : code;", "a folder that takes no copy fails instead of writing the output"),
    ("src/surface/replace.cpp", "        detail::DiscardPending(path.c_str());\n        return code;", "        return code;",
     "a copy across file systems is left when the output is written in place"),
    ("src/surface/replace.cpp", "    return detail::DiscardPending(temp.path.c_str());  // its contents have taken its place",
     "    return ERROR_SUCCESS;", "a temporary copied across stays pending"),
    # Write-through of the placement.
    ("src/surface/replace.cpp", "    if (code == ERROR_SUCCESS && out.writeThrough) {",
     "    if (code == ERROR_SUCCESS && !out.writeThrough) {",
     "a write-through placement leaves the folder's entries unflushed"),
    ("src/surface/replace.cpp", "        detail::CountDataFlush();\n        code = port::Flush(out);", "",
     "an in-place write skips its data flush"),
    # The in-place write.
    ("src/surface/replace.cpp", "if (code == ERROR_SUCCESS && from.size > port::FileSizeLimit()) {",
     "if (code == ERROR_SUCCESS && from.size > port::FileSizeLimit() && false) {",
     "an in-place write past the file-size limit begins"),
    ("src/surface/replace.cpp", "        code = port::Lock(out.get());\n", "",
     "an in-place write takes no lock"),
    ("src/surface/replace.cpp", "code = code == ERROR_NOT_SUPPORTED ? ERROR_SUCCESS : code;  // written unlocked",
     "code = code == ERROR_NOT_SUPPORTED ? ERROR_NOT_SUPPORTED : code;  // written unlocked",
     "an output on a file system without locks is refused"),
    ("src/surface/replace.cpp", "        code = ReserveRoom(out.get(), old.size, from.size);",
     "        code = ReserveRoom(out.get(), old.size, 0);", "an in-place write reserves no room first"),
    ("src/surface/replace.cpp", "    if (code != ERROR_NOT_SUPPORTED) {\n        return code;\n    }\n    static",
     "    if (true) {\n        return code;\n    }\n    static",
     "a file system that cannot reserve gets no zeros instead"),
    ("src/surface/replace.cpp", "            (void)port::SetLength(out, oldSize);\n", "",
     "zeros written for room stay when the room runs out"),
    ("src/surface/replace.cpp", "    for (std::uint64_t at = oldSize; at < size;) {",
     "    for (std::uint64_t at = 0; at < size;) {",
     "zeros for room are written over the old bytes"),
    ("src/surface/replace.cpp", "    const detail::HeldTermination held;\n    code = CopyWhole(",
     "    code = CopyWhole(", "termination is not held during the overwrite"),
    ("src/surface/replace.cpp", "if (code != ERROR_SUCCESS && port::SetLength(out.get(), 0) == ERROR_SUCCESS) {",
     "if (code != ERROR_SUCCESS && false) {", "a failed overwrite leaves the output half new"),
    ("src/surface/replace.cpp", "    code = code == ERROR_SUCCESS ? port::SetLength(out, size) : code;\n", "",
     "an in-place write keeps the old file's tail"),
    # ---- Memory (heap.cpp): large blocks, views, freeze.
    ("src/surface/heap.cpp", "return bytes > SIZE_MAX - page ? 0 : (bytes + page - 1) / page * page;",
     "return bytes > SIZE_MAX - page ? 0 : bytes / page * page;",
     "a large block is cut to whole pages"),
    ("src/surface/heap.cpp", "if (slot.at == block && block != nullptr && !slot.view && slot.asked == bits.bytes) {",
     "if (slot.at == block && block != nullptr && !slot.view) {",
     "a block of another size than the section takes its view"),
    ("src/surface/heap.cpp", "    if (bits.file == port::kNoFile || bits.frozen) {",
     "    if (bits.file == port::kNoFile) {", "a section is frozen again, losing what was drawn since"),
    ("src/surface/heap.cpp",
     "            if (port::MapCopyView(bits.file, bits.mapped, bits.bits, true) != ERROR_SUCCESS) {\n"
     "                return false;\n            }\n",
     "", "a section's later writes reach the views of it"),
    ("src/surface/files.cpp", "port::WriteFromView(file->file, from, offset + done, in + done,",
     "port::WriteFromView(file->file, from, done, in + done,",
     "a part of a view is written from the start of its memory file"),
    ("src/surface/files_posix.cpp",
     "                (entries[i] & kSwapped) == 0 && (entries[i] & (kPresent | kFilePage)) != kPresent;",
     "                (entries[i] & kSwapped) == 0;", "a view written into is written from its memory file all the same"),
    ("src/surface/files_posix.cpp", "lseek(out, static_cast<off_t>(at), SEEK_SET) < 0) {",
     "lseek(out, static_cast<off_t>(at) * 0, SEEK_CUR) < 0) {", "a view is written where the file's position stood"),
    # ---- Sections and device contexts.
    ("src/surface/sections.cpp", "    if (start == 0 && count == static_cast<UINT>(f.height) && bottomUp != f.topDown &&",
     "    if (start == 0 && bottomUp != f.topDown &&",
     "a copy of fewer rows than the picture takes the whole picture's view"),
    ("src/surface/sections.cpp", "    if (start == 0 && count == static_cast<UINT>(f.height) && bottomUp != f.topDown &&",
     "    if (start == 0 && count == static_cast<UINT>(f.height) &&",
     "rows asked for in the other order take the view as it lies"),
    ("src/surface/sections.cpp", "pixels::SameLayout(f, pixels::RgbLayoutOf(f)) && pixels::RowEndsClear(source->Plane()) &&",
     "pixels::RowEndsClear(source->Plane()) &&",
     "a section of another pixel layout is shared, not converted"),
    ("src/surface/sections.cpp", "pixels::SameLayout(f, pixels::RgbLayoutOf(f)) && pixels::RowEndsClear(source->Plane()) &&",
     "pixels::SameLayout(f, pixels::RgbLayoutOf(f)) &&",
     "a section with bits past its row ends is shared as it is"),
    ("src/surface/sections.cpp", "    if (!pixels::RowsSupplyEnough(target->format, source, start, lines, supplied)) {",
     "    if (false) {", "SetDIBits takes a block that supplies too little of a large picture"),
    ("src/surface/sections.cpp", "    if (start >= static_cast<UINT>(target->format.height) || lines == 0) {",
     "    if (start > static_cast<UINT>(target->format.height) || lines == 0) {",
     "SetDIBits takes a first row just past the picture"),
    ("src/surface/sections.cpp", "    return static_cast<int>(lines < available ? lines : available);\n}\n\nint GetDIBits",
     "    (void)available;\n    return static_cast<int>(lines);\n}\n\nint GetDIBits",
     "SetDIBits counts rows past the picture as set"),
    ("src/surface/sections.cpp", "        infoSize < sizeof(BITMAPINFOHEADER) || source->selectedInto != nullptr) {",
     "        infoSize < sizeof(BITMAPINFOHEADER)) {", "GetDIBits reads a selected bitmap"),
    ("src/surface/device_contexts.cpp", "(bitmap == nullptr || (bitmap->selectedInto != nullptr &&\n"
     "                                                            bitmap->selectedInto != target))) {",
     "(bitmap == nullptr || bitmap->selectedInto != nullptr)) {",
     "a bitmap cannot be selected again into its own DC"),
    ("src/surface/device_contexts.cpp", "    if (target->selected != nullptr) {\n        target->selected->selectedInto = nullptr;\n    }\n    if (bitmap",
     "    if (bitmap", "a bitmap selected out stays marked as selected"),
    ("src/surface/device_contexts.cpp", "    if (target->selected != nullptr) {\n        target->selected->selectedInto = nullptr;\n    }\n    dcs.Remove",
     "    dcs.Remove", "a deleted DC's bitmap stays marked as selected"),
    ("src/surface/device_contexts.cpp", "    if (4 * area >= ", "    if (area >= ",
     "a canvas a quarter covered stays on small pages"),
    ("src/surface/device_contexts.cpp", "    if (4 * area >= ", "    if (4 * area >= 0 * ",
     "a thin parallelogram's canvas goes on large pages whole"),
    ("src/surface/process_posix.cpp", "        *reinterpret_cast<const volatile std::uint8_t*>(at);",
     "", "large pages asked for where no small page stands"),
    ("src/surface/device_contexts.cpp", "if (target == nullptr || mode < BLACKONWHITE || mode > HALFTONE) {",
     "if (target == nullptr || mode < BLACKONWHITE || mode > HALFTONE + 1) {",
     "a stretching mode past the last is taken"),
    # ---- The image loader.
    ("src/surface/bmp_loader.cpp", "        detail::KeepStream(path, source.file, bytes, size, ended);",
     "        (void)ended;\n        std::free(bytes);\n        (void)size;\n        CloseHandle(source.file);",
     "a stream's bytes are lost for the second reading"),
    ("src/surface/bmp_loader.cpp", "if (GetFileSizeEx(source.file, &length) && length > 0) {",
     "if (GetFileSizeEx(source.file, &length) && length >= 0) {",
     "a stream is read as a file of no bytes"),
    # ---- The POSIX port: files and names (files_posix.cpp).
    ("src/surface/files_posix.cpp", "            return flags | O_CREAT | O_TRUNC;", "            return flags | O_CREAT;",
     "CREATE_ALWAYS keeps an existing file's bytes"),
    ("src/surface/files_posix.cpp", "        case OPEN_ALWAYS:\n            return flags | O_CREAT;",
     "        case OPEN_ALWAYS:\n            return flags;", "OPEN_ALWAYS makes no missing file"),
    ("src/surface/files_posix.cpp", "        case TRUNCATE_EXISTING:\n            return flags | O_TRUNC;",
     "        case TRUNCATE_EXISTING:\n            return flags | O_CREAT | O_TRUNC;",
     "TRUNCATE_EXISTING makes a missing file"),
    ("src/surface/files_posix.cpp", "                      OpenFlags(access, creation), 0666)) < 0 &&",
     "                      OpenFlags(access, creation) | ((access & GENERIC_WRITE) ? 0 : O_NONBLOCK), 0666)) < 0 &&",
     "a FIFO is read before its writer comes"),
    ("src/surface/files_posix.cpp", "    identity->links = static_cast<std::uint32_t>(st.st_nlink);",
     "    identity->links = 1;", "a file's other names are not counted"),
    ("src/surface/files_posix.cpp", "(errno == ENOENT ? ERROR_SUCCESS : CodeOf(false));",
     "CodeOf(false);", "a missing output is an error, not a new file"),
    ("src/surface/files_posix.cpp", "return CodeOf(Call(SystemCall::kMode, -1, ::fchmod, fd, 0666 & ~mask) == 0);",
     "return CodeOf(Call(SystemCall::kMode, -1, ::fchmod, fd, 0666) == 0);",
     "a new output ignores the umask"),
    ("src/surface/files_posix.cpp", "    return kept ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;",
     "    return kept || true ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;",
     "a new file that cannot take the output's owner replaces it all the same"),
    # Links followed as the system's own open follows them.
    ("src/surface/files_posix.cpp", "        if (OnProc(at)) {", "        if (OnProc(at) && false) {",
     "a descriptor link is followed to a file the process does not hold"),
    ("src/surface/files_posix.cpp", "    return setting != 0 && known && (folder.st_mode & S_ISVTX) != 0 &&",
     "    return setting != 0 && known &&", "links in folders without the sticky bit are refused"),
    ("src/surface/files_posix.cpp", "           (folder.st_mode & S_IWOTH) != 0 && link.st_uid != geteuid() &&",
     "           link.st_uid != geteuid() &&", "links in sticky folders not everyone may write are refused"),
    ("src/surface/files_posix.cpp", "           link.st_uid != folder.st_uid;", "           true;",
     "a link owned by its folder's owner is refused"),
    ("src/surface/files_posix.cpp", "        if (ProtectionRefuses(at.dir(), link)) {",
     "        if (ProtectionRefuses(at.dir(), link) && false) {",
     "a link the system would not follow is followed"),
    ("src/surface/files_posix.cpp", "            next = target->substr(0, static_cast<std::size_t>(at.leaf() - target->c_str())) + next;",
     "            (void)at;", "a relative link is read from the working folder"),
    ("src/surface/files_posix.cpp", "    for (int hops = 0; hops <= 40; ++hops) {",
     "    for (int hops = 0; hops <= 1; ++hops) {", "a chain of links is taken for a loop"),
    ("src/surface/files_posix.cpp", "        {EPIPE, ERROR_BROKEN_PIPE},\n", "", "a broken pipe loses its code"),
    ("src/surface/system_calls_posix.h", "error_ = errno == ENOENT ? ERROR_PATH_NOT_FOUND : MapErrno(errno);",
     "error_ = MapErrno(errno);", "a missing folder is reported as a missing file"),
    # ---- The POSIX port: temporaries, termination, memory (process_posix.cpp).
    ("src/surface/process_posix.cpp", "O_TMPFILE | O_RDWR | O_CLOEXEC,", "O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC,",
     "an unnamed temporary can never be linked"),
    ("src/surface/process_posix.cpp", "(errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL || errno == ENOENT)",
     "(errno == EISDIR || errno == EINVAL || errno == ENOENT)",
     "a file system without unnamed files makes no temporary"),
    ("src/surface/process_posix.cpp", "O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);",
     "O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);", "a named temporary is readable by others"),
    ("src/surface/process_posix.cpp", "        *vanishes = fd >= 0;", "        *vanishes = false;",
     "an unnamed temporary is taken for a named one"),
    ("src/surface/files.cpp",
     "temp.vanishes ? port::KeepTemporary(temp.file, temp.path.c_str()) : ERROR_SUCCESS;",
     "port::KeepTemporary(temp.file, temp.path.c_str());", "a named temporary is linked again"),
    ("src/surface/process_posix.cpp", "                       AT_SYMLINK_FOLLOW) == 0);", "                       0) == 0);",
     "the descriptor's link is linked, not the file"),
    ("src/surface/process_posix.cpp", "#ifdef SIGPWR\n        SIGPWR,\n#endif\n", "",
     "a power-failure signal is not held"),
    ("src/surface/process_posix.cpp", "    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) {",
     "    for (int sig = SIGRTMIN + 1; sig <= SIGRTMAX; ++sig) {", "the first real-time signal is not held"),
    ("src/surface/process_posix.cpp", "    if (holds++ == 0) {", "    if (++holds == 0) {",
     "holding termination holds nothing"),
    ("src/surface/process_posix.cpp", "        sigprocmask(SIG_SETMASK, &beforeHold, nullptr);\n", "",
     "termination stays held after the last release"),
    ("src/surface/process_posix.cpp", "            (current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) {",
     "            (current.sa_flags & SA_SIGINFO) != 0) {", "a signal ignored under nohup is taken over"),
    ("src/surface/process_posix.cpp", "action.sa_handler = sig == SIGXFSZ ? SIG_IGN : CleanUpAndEnd;",
     "action.sa_handler = CleanUpAndEnd;", "the file-size limit ends the process instead of failing the write"),
    ("src/surface/process_posix.cpp", "    sigaction(sig, &fallback, nullptr);\n", "",
     "the handler raises its signal into itself"),
    ("src/surface/process_posix.cpp", "    return cleared ? Call(", "    return cleared && false ? Call(",
     "a small block asked for cleared is not cleared"),
    ("src/surface/process_posix.cpp", "    if (bytes > FileSizeLimit()) {\n        return ERROR_FILE_TOO_LARGE;",
     "    if (false) {\n        return ERROR_FILE_TOO_LARGE;",
     "a memory file past the file-size limit is made"),
    ("src/surface/process_posix.cpp", "return CodeOf(Map(at, bytes, MAP_PRIVATE | MAP_FIXED, static_cast<int>(file)) != MAP_FAILED);",
     "return CodeOf(Map(at, bytes, MAP_SHARED | MAP_FIXED, static_cast<int>(file)) != MAP_FAILED);",
     "a view's writes reach the section"),
    # ---- The formats and the decoder.
    ("src/pixels/bmp_decode.cpp",
     "return static_cast<std::uint32_t>(rows) == height && SuppliesEnough(width, height, supplied)",
     "return static_cast<std::uint32_t>(rows) == height", "a stream of skips decodes"),
    ("src/pixels/row_codec.cpp", "            ++supplied_;\n", "",
     "the pixels a stream supplies are not counted"),
    ("src/pixels/pixel_supply.h",
     "return (total - supplied <= kFreeMissingPixels || total - supplied <= supplied) &&",
     "return (total - supplied <= kFreeMissingPixels || total - supplied < supplied) &&",
     "a file supplying half its picture is refused"),
    ("src/pixels/row_codec.cpp",
     "const std::uint64_t bottomRow = source.topDown ? start + count - 1 - i : start + i;",
     "const std::uint64_t bottomRow = source.topDown ? count - 1 - i : start + i;",
     "top-down rows from a first row above 0 drop it"),
    ("src/pixels/bmp_decode.cpp",
     "if (offBits < kFileHeaderSize + 4 || (fileSize && offBits >= *fileSize)) {",
     "if (offBits < kFileHeaderSize + 4) {", "the pixel offset is checked after the description"),
    ("src/pixels/dib_format.cpp", "if (h->planes != 1 ||", "if (h->planes > 2 ||",
     "two planes are accepted"),
    ("src/pixels/row_codec.cpp", "        if (bestDistance < 0 || d < bestDistance) {",
     "        if (bestDistance < 0 || d <= bestDistance) {", "a tie in colour goes to the later entry"),
    ("src/pixels/bmp_stream.cpp",
     "knownLength ? std::uint64_t{1} << 30 : std::max<std::uint64_t>(size_, 1 << 16)",
     "knownLength ? std::uint64_t{1} << 30 : want",
     "a stream's buffer is reserved for all its headers promise"),
    ("src/bmp/bmp_reader.cpp", "fh.bfOffBits <= pixels::kLargestPixelOffset;",
     "fh.bfOffBits <= pixels::kLargestPixelOffset + 1;", "an offset of 1079 passes the header test"),
    ("src/bmp/bmp_reader.cpp",
     "                                      ? pixels::kRlePixelsPerByte * present\n",
     "                                      ? std::uint64_t{1} << 40\n",
     "the reader allocates for a compressed bomb"),
    # The writer.
    ("src/bmp/bmp_writer.cpp", "if (!CloseHandle(file) && reason == ERROR_SUCCESS) {",
     "if (!CloseHandle(file) && reason == ERROR_SUCCESS + 1) {",
     "a failed close of the new file is ignored"),
    # ---- The command line and the numbers.
    ("src/cli/command_line.cpp", "'\\t'", "'\\v'", "a tab no longer separates arguments"),
    ("src/cli/angle_text.cpp", "4932", "4933", "an exponent of 4933 is taken as finite"),
    ("src/rotate/geometry.cpp", "((-hw) * s - hh * c) + cy, (hw * s - hh * c) + cy",
     "((-hw) * s - hh * c) + cy, (hw * s - hh * c) + cx",
     "the upper-right corner takes the wrong centre"),
    ("src/rotate/geometry.cpp", "std::fabs(angleDegrees) < 0x1p-1026", "std::fabs(angleDegrees) < 0x1p-1020",
     "a tiny angle above 2^-1026 is taken as a whole turn"),
    # These two guard against what this platform never gives the writer (a
    # bitmap of 9 to 15 bits, a transfer that enlarges biSizeImage); they
    # survive, and stand for a port that might.
    ("src/bmp/bmp_writer.cpp", "    if (depth > 8 && depth < 16) {", "    if (depth > 8 && depth < 15) {",
     "a 15-bit depth is written with a table it has no room for"),
    ("src/bmp/bmp_writer.cpp",
     "info.header.biSizeImage < pixelCapacity ? info.header.biSizeImage : pixelCapacity",
     "info.header.biSizeImage", "the pixel write trusts what the transfer left in the header"),
    # ---- The transfer.
    ("src/resample/bspline5.cpp", "if (r >= count) {", "if (r > count) {",
     "the prefilter reads one row past the source"),
    ("src/resample/band_plan.cpp", "    if (e >= p.full) {", "    if (e > p.full) {",
     "a centre half a pixel inside an edge does not take its whole term"),
    ("src/resample/transfer.h", "inline constexpr std::int32_t kBandHorizon = 16;",
     "inline constexpr std::int32_t kBandHorizon = 4;",
     "a band's column recursions start four rows away"),
    ("src/resample/sampler_pixel_pairs.h", "const SourcePosition y1 = DecodePosition(v + dv);",
     "const SourcePosition y1 = DecodePosition(v);", "the second pixel of a pair is sampled on the first's row"),
    ("src/resample/sampler_pixel_pairs.h", "        if (k + 2 < count) {", "        if (k + 2 <= count) {",
     "a run that ends on a pair writes a byte past its end"),
    ("src/resample/sampler.cpp", "sum[c] += wy[r] * std::clamp(h, -32768, 32767);",
     "sum[c] += wy[r] * std::clamp(h, -32767, 32767);",
     "the portable sampler saturates one level short"),
    ("src/resample/bspline5_lanes.h", "inline constexpr float kPoles[2] = {-0.430575347099973791851434783493520110f,",
     "inline constexpr float kPoles[2] = {-0.430575f,", "the first pole is cut to six digits"),
    # A horizon of 15 rows above instead of 16: its coefficients differ from
    # the 16-row ones by a small part of a unit, and no output byte of the
    # tests changes; it survives.
    ("src/resample/transfer.cpp", "        top = first - kTapsAbove - kBandHorizon;",
     "        top = first - kTapsAbove - kBandHorizon + 1;",
     "a band's buffer starts a row late"),
]


def run(command, **kwargs):
    return subprocess.run(command, cwd=ROOT, capture_output=True, text=True, **kwargs)


def folder(path):
    return os.path.dirname(path)


def report(results):
    """Caught / total for each folder, in the order the folders first come."""
    folders = []
    for path, _ in results:
        if folder(path) not in folders:
            folders.append(folder(path))
    print("by folder:")
    for name in folders:
        mine = [caught for path, caught in results if folder(path) == name]
        print("  %-16s %3d of %3d caught (%.0f%%)" %
              (name, sum(mine), len(mine), 100.0 * sum(mine) / len(mine)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--only", action="append",
                        help="only the faults whose file or description holds this (repeatable)")
    parser.add_argument("--list", action="store_true",
                        help="list the faults, marking those whose text is gone, and stop")
    parser.add_argument("--report", action="store_true",
                        help="end with the faults caught in each folder")
    args = parser.parse_args()
    chosen = [m for m in MUTATIONS
              if not args.only or any(o in m[0] or o in m[3] for o in args.only)]
    if args.list:
        for path, old, _, what in chosen:
            with open(os.path.join(ROOT, path)) as f:
                there = f.read().count(old)
            print("%s%s: %s" % ("" if there == 1 else "[text found %d times] " % there, path, what))
        return 0
    caught, survived, broken, results = [], [], [], []
    for path, old, new, what in chosen:
        full = os.path.join(ROOT, path)
        with open(full) as f:
            text = f.read()
        if old not in text:
            broken.append("%s: %s (the text is no longer there)" % (path, what))
            continue
        try:
            with open(full, "w") as f:
                f.write(text.replace(old, new, 1))
            build = run(["cmake", "--build", "--preset", "ci"])
            if build.returncode != 0:
                broken.append("%s: %s (does not build)" % (path, what))
                continue
            tests = run(["ctest", "--preset", "ci", "-E", "valgrind|man_page", "--timeout", "180"])
            found = tests.returncode != 0
            (caught if found else survived).append("%s: %s" % (path, what))
            results.append((path, found))
            print("%s %s: %s" % ("caught  " if found else "SURVIVED", path, what), flush=True)
        finally:
            with open(full, "w") as f:
                f.write(text)
    run(["cmake", "--build", "--preset", "ci"])
    total = len(caught) + len(survived)
    print("mutation check: %d of %d faults caught (%.0f%%)" %
          (len(caught), total, 100.0 * len(caught) / max(total, 1)))
    for line in survived:
        print("  survived: " + line)
    for line in broken:
        print("  not run: " + line)
    if args.report and results:
        report(results)
    return 0 if not survived and not broken else 1


if __name__ == "__main__":
    sys.exit(main())
