// deploymentblock: the format of the deployment block that the server appends behind the
// installer's executable image, kept in one place for the installer (which reads it) and the host
// stamper cvstamp (which checks values and writes it). A block is the marker, then one entry per
// key ("ADDED_SERVERPARAMETER_" + key word + "<" + value + ">"), then CR LF, all single-byte text
// in code page 1252. Texts here are wide strings with one character per byte of the file (as the
// installer reads it, or as fromCp1252 decodes it), so positions in the text are byte offsets.
// The keys themselves, and the block written from them, are in deploymentkeytable. Portable code:
// no platform headers.
#pragma once

#include "result.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace portable {

// The text that opens every entry (the key word and "<" follow).
inline constexpr std::wstring_view DEPLOYMENT_ENTRY_PREFIX = L"ADDED_SERVERPARAMETER_";

// The marker that opens a block, joined at run time from two pieces: the whole text must never
// stand in an executable, since the reader takes its first occurrence in the whole file.
std::wstring deploymentMarker();

// The block of a file's text: from the first marker to the end; empty without a marker.
std::wstring_view deploymentBlock(std::wstring_view text);

// Block bytes as text: one character per byte, code page 1252 (fromCp1252), zero bytes as line
// feeds (so that no value, log line or .deployment entry carries a zero character). The one
// decoding of block bytes: the installer's own block, cvstamp --show and the scan of a download's
// signer entries all read through it, whatever code page the thread has.
std::wstring deploymentText(std::string_view bytes);

// The block of a file's bytes: from the first marker to the end, decoded by deploymentText; empty
// without a marker. A byte before the marker never changes what follows it.
std::wstring deploymentBlockOfBytes(std::string_view bytes);

// How many markers the text holds (the reader uses only the first).
size_t countDeploymentMarkers(std::wstring_view text);

// One entry as the installer reads it: the first occurrence of prefix + word + "<" anywhere in
// the content, the value up to the next ">". Absent when the tag is missing, the entry has no
// closing ">" or the word is empty. Values are taken character for character.
std::optional<std::wstring> readDeploymentEntry(std::wstring_view content, std::wstring_view word);

// Where the executable image ends in a file's bytes (decoded one character per byte): the start
// of the first block when everything from there on is one or more well-formed blocks (entries
// with upper-case key words, each block ended by CR LF, LF or the end of the file); the size
// without a marker; absent when a marker is followed by something else (cutting there could
// damage the image).
std::optional<size_t> deploymentImageEnd(std::wstring_view data);

// Whether strict TLS (the TLS entry) can hold over the block's protocol: only over https, the
// protocol compared as the updater compares it (ASCII case ignored). cvstamp refuses any other
// protocol with strict TLS, and the installer sends no request for such a block.
bool strictTlsFits(std::wstring_view protocol);

// Checks a value given as UTF-8 text (a command line) and gives it as the block would carry it.
// Refused, with the reason: text that is not UTF-8, control characters (C0, DEL, C1),
// ">" (it ends an entry), characters outside code page 1252, and the entry prefix (the reader
// would take it for an entry). The first offending character is reported.
Result checkDeploymentValue(std::string_view utf8, std::wstring* value);

// Code page 1252: the byte of a code point (-1 when the code page cannot represent it; the
// bytes 0x81, 0x8D, 0x8F, 0x90 and 0x9D are unassigned) and the code point of a byte (U+FFFD for
// an unassigned byte).
int cp1252Byte(uint32_t codePoint);
uint32_t cp1252CodePoint(unsigned char byte);

// Bytes of code page 1252 to text, one character per byte (a zero byte stays a zero character).
std::wstring fromCp1252(std::string_view bytes);

// Text to code page 1252; false (bytes undefined) when a character cannot be represented.
bool toCp1252(std::wstring_view text, std::string* bytes);

// Text to UTF-8, for printing.
std::string toUtf8(std::wstring_view text);

} // namespace portable
