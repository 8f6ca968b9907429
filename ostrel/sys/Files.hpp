#pragma once
// Files written whole, and what the machine is called.
#include <sys/types.h>

#include <string>

#include "ostrel/base/Bytes.hpp"

namespace ostrel {

struct WholeFile {
  mode_t mode = 0644;  // exactly: the process's creation mask is neither used nor changed
  bool sync = true;    // on the disk before it takes the old file's place
};

// Writes `data` to "<path>.tmp", made anew (whatever was left there, a link among it, goes first),
// and renames it over `path`: a reader, a power cut or a full disk sees the old content or the
// new, never a cut file, and a link at `path` is replaced, not written through. Throws
// std::system_error ("cannot write <path>: <reason>"); the temporary file is gone then.
void writeWholeFile(const std::string& path, ByteView data, WholeFile how = {});
inline void writeWholeFile(const std::string& path, std::string_view text, WholeFile how = {}) {
  writeWholeFile(path, ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
                 how);
}

// True when `path` itself is a symbolic link.
bool isSymlink(const std::string& path);

// This machine's name, looked up once; "unknown" when it has none.
const std::string& hostName();

}  // namespace ostrel
