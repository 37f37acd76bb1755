// The extended process score (setting extendedDetection): the sound signals
// of ScoreProcess with their names and points, a PowerShell encoded-command
// test that reads the host's parameters instead of matching "-enc" anywhere,
// the decoded command scored too, and signals for destroyed backups, cleared
// logs, downloads and decoding by system tools, script hosts running remote
// code and core process names outside the system folders. Each command text is
// matched as it is and in its normalised form (command_line_normaliser.h), a
// name that imitates a core process's counts, and the names the program's
// version resource claims add their own signals. Pure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Same contract as ScoreProcess: ASCII-case-insensitive, any text may be
// empty, fragment replaced by "score":N[,"signals":[...]] with the signals in
// table order, each at most once. decodedMember is replaced by
// "decoded":"<first 200 UTF-16 units of the decoded command, as UTF-8>" when
// an encoded command was decoded, and emptied otherwise. An empty path is an
// unknown location: it never counts as outside the system folders.
int32_t ScoreProcessExtended(const std::wstring& name, const std::wstring& path,
                             const std::wstring& commandLine, std::string& fragment,
                             std::string& decodedMember);

// The same, with the original file name and internal name the image's version
// resource gives (either may be empty). A claim that names another program
// than `name` scores that program too, with this path and command line, and
// adds "renamed_system_tool" when it is a system tool: the resource is
// written by whoever made the file, so it can only add signals, never take
// one away. With both claims empty or naming `name` itself it is the
// five-argument score.
int32_t ScoreProcessExtended(const std::wstring& name, const std::wstring& originalFileName,
                             const std::wstring& internalName, const std::wstring& path,
                             const std::wstring& commandLine, std::string& fragment,
                             std::string& decodedMember);

// The program a claimed name stands for: ASCII-lower-cased, without folders,
// a trailing ".mui" (system files name their language resource) or the last
// extension ("VSSADMIN.EXE.MUI" and "vssadmin" give "vssadmin").
std::wstring ClaimedStem(const std::wstring& name);

// `claimed` is not empty and stands for another program than image name `name`.
bool ClaimsOtherName(const std::wstring& name, const std::wstring& claimed);

// The pieces, for tests.

// A PowerShell host parameter name (without its - or /) that selects an
// encoded command: "ec" or any prefix of "encodedcommand" ("e", "en", "enc",
// ...). Case-insensitive. "encoding" is not one.
bool IsEncodedCommandParameter(const std::wstring& parameter);

// Finds a PowerShell host in the command line (or, when nameIsPowerShell, the
// command line's own arguments) and, among its parameters, one that selects an
// encoded command. payload gets its value (possibly empty). False when none.
bool FindEncodedCommand(const std::wstring& commandLine, bool nameIsPowerShell, std::wstring& payload);

// Base64 (standard alphabet, padded to a multiple of 4) of UTF-16LE text, as
// the host decodes it. False for anything else, including an odd byte count.
bool DecodeEncodedCommand(const std::wstring& payload, std::u16string& text);

// The first maxUnits UTF-16 units of text as UTF-8, one unit fewer when the
// cut would split a surrogate pair; lone surrogates become U+FFFD.
std::string Utf16PrefixToUtf8(const std::u16string& text, size_t maxUnits);
