// SafeReplace.h - rewriting a file so that it is never seen half written,
// and never over another writer's version.
//
// The new content goes to a temporary file beside the target, which is
// synced, renamed over the target and followed by a sync of the directory.
// On any failure before the rename the temporary file is removed and the
// target keeps its old bytes.  A target reached through symbolic links is
// resolved first, so the link keeps pointing at the file it named and that
// file is what gets replaced; the new file takes the old one's permission
// bits.
//
// The rename happens only while the target is still the version the caller
// read: the save takes the target's lock (Env::LockForReplace), compares the
// version there with the one read, renames and only then lets go, and every
// save takes that lock, so two saves of one version cannot both succeed.
#ifndef MORVANE_IO_SAFEREPLACE_H
#define MORVANE_IO_SAFEREPLACE_H

#include "Env.h"
#include "ByteStream.h"

#include <functional>
#include <string>

namespace morvane {

// Resolves the symbolic links of path's last component (up to 40 in a row);
// a path that is not a link, or does not exist, resolves to itself.  A loop
// of links gives InvalidArgument.
Status ResolveSymlinks(Env& env, const std::string& path, std::string* resolved);

// The directory part of path: "" for a bare name, "/" for the root.
std::string DirectoryOf(const std::string& path);

// Writes a new file at path with the bytes that write() appends to its sink,
// unless another writer changed the file since the caller read it.
//   loaded: the version of the file the caller read (SequentialFile::Version).
//     The file is replaced only while the path still names that version, or
//     names no file at all (it was removed since, or it was made for the
//     caller and removed again, as the tool does with a file a command
//     creates).  Else nothing is written and the result is a Conflict.
//   written: set to the new file's version once it is in place (also when
//     only the final directory sync failed), to save over it later; all zero
//     when its version could not be told.  Left alone when nothing was
//     replaced.
// Fails when write() fails or any step of the replacement fails, saying
// which step and why; the file at path is then as before, except when only
// the final directory sync failed, in which case the new content is in
// place but maybe not durable (the message says so).
Status SafeReplaceFile(Env& env, const std::string& path, const FileVersion& loaded,
                       const std::function<bool(ByteSink&)>& write, FileVersion* written);

}  // namespace morvane

#endif
