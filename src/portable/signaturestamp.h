// signaturestamp: what only the stamper does to a signed installer: it places a deployment block
// inside the signature (as an unsigned attribute of the signer, outside what is signed) and
// recomputes the PE checksum. Built into cvstamp and the native tests, never into the installer,
// which only ever reads a block. Portable code: no platform headers.
#pragma once

#include "result.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace portable {

// The PE checksum of a file in memory (the checksum field counted as zero).
uint32_t peChecksum(const uint8_t* data, size_t size, uint32_t checksumOffset);

// Puts block inside the certificate entry of a signed file in memory, as an unsigned
// attribute of the signature's signer (type 2.25.14592389813976059341107873324250767559, one
// OCTET STRING value): outside what the signature covers, and inside the PKCS#7 structure, so the
// entry holds nothing but the signature and its zero padding. An earlier block attribute is
// replaced. The entry, the table's directory size and the file grow; the PE checksum is
// recomputed. *replaced tells whether an earlier block attribute was found. The table
// must meet the placement rules (certificateTableSignature) and its signature be a PKCS#7
// SignedData with one signer. Fails with the reason (file unchanged) otherwise.
Result placeInCertificateTable(std::string* file, const std::string& block, bool* replaced);

} // namespace portable
