// certificatetable: the placement rules of a PE file's certificate table, part of every signature
// check: the table is 8-byte aligned, starts at or after SizeOfHeaders and the end of every
// section's raw data, ends the file, and holds exactly one entry (WIN_CERT_REVISION_2_0,
// WIN_CERT_TYPE_PKCS_SIGNED_DATA) whose contents are one DER structure followed by fewer than 8
// zero bytes of padding. A table moved over the sections keeps the image digest but lets Windows
// map other bytes; a second entry or bytes behind the signature carry what nobody signed. The
// installer's check, cvstamp's --show, --print-signer and stamping all take a signature through
// these rules. Portable code: no platform headers.
#pragma once

#include "bytespan.h"
#include "peheaders.h"
#include "result.h"

#include <cstddef>
#include <cstdint>

namespace portable {

constexpr uint16_t WIN_CERT_REVISION_2_0 = 0x0200;
constexpr uint16_t WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002;
// The WIN_CERTIFICATE header in front of an entry's contents: length, revision, type.
constexpr size_t WIN_CERT_HEADER_SIZE = 8;

// table: the table's size bytes as the layout names them. Gives the DER signature of its one
// entry (pointing into table); fails with the rule that was broken.
Result certificateTableSignature(const PeLayout& layout, const uint8_t* table, size_t size, ByteSpan* der);

} // namespace portable
