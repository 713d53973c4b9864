// ExchangeFiles.h - reading and writing whole exchange files (FileFormat.h)
// the way the tool and the Python module both do: a size limit on input, a
// write through a temporary file renamed over the target.
#ifndef MORVANE_EXCHANGE_EXCHANGEFILES_H
#define MORVANE_EXCHANGE_EXCHANGEFILES_H

#include "FileFormat.h"
#include "GcpTable.h"

#include <string>

namespace morvane::tool {

// The format named (formatName not empty: one of FormatNamesHelp()) or
// else the one path's extension gives.  Throws std::invalid_argument when
// the name is unknown or the extension tells nothing.
FileFormat ChooseFormat(const std::string& formatName, const std::string& path);

// The file's bytes; throws Refusal for a directory, an unreadable file or
// one over 512 MiB.
std::string ReadWholeFile(const std::string& path);

// Writes next to the target and renames, so a failed write leaves no
// half-written file.  Throws Refusal with the reason.
void WriteWholeFile(const std::string& path, const std::string& text);

// Reads and parses the file; a format error becomes a Refusal that names
// the file and the line ("PATH:LINE: reason").
GcpTable ReadTableFile(FileFormat format, const std::string& path);

}  // namespace morvane::tool

#endif
