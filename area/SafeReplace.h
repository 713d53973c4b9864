// SafeReplace.h - rewriting a file so that it is never seen half written.
//
// The new content goes to a temporary file beside the target, which is
// synced, renamed over the target and followed by a sync of the directory.
// On any failure before the rename the temporary file is removed and the
// target keeps its old bytes.  A target reached through symbolic links is
// resolved first, so the link keeps pointing at the file it named and that
// file is what gets replaced; the new file takes the old one's permission
// bits.
#ifndef MORVANE_AREA_SAFEREPLACE_H
#define MORVANE_AREA_SAFEREPLACE_H

#include "Env.h"
#include "GroupStream.h"

#include <functional>
#include <string>

namespace morvane {

// Resolves the symbolic links of path's last component (up to 40 in a row);
// a path that is not a link, or does not exist, resolves to itself.  A loop
// of links gives InvalidArgument.
Status ResolveSymlinks(Env& env, const std::string& path, std::string* resolved);

// The directory part of path: "" for a bare name, "/" for the root.
std::string DirectoryOf(const std::string& path);

// Writes a new file at path with the bytes that write() appends to its sink.
// Fails when write() fails or any step of the replacement fails, saying
// which step and why; the file at path is then as before, except when only
// the final directory sync failed, in which case the new content is in
// place but maybe not durable (the message says so).
Status SafeReplaceFile(Env& env, const std::string& path,
                       const std::function<bool(ByteSink&)>& write);

}  // namespace morvane

#endif
