// authenticode: the one include for the signature code of the portable core, which the
// installer's signature check, Bodydigest and cvstamp share. Each part has a home of its own:
//   peheaders         the PE headers and the layout of the signature-related fields (PeLayout)
//   imagedigest       the image digest: its ranges, in memory, read through ReadAt, in pieces
//   certificatetable  the placement rules of the certificate table and its one entry's DER
//   signeddata        the Authenticode SignedData, the signer's key hash, a file's signature
//   signaturechoice   the signatures of a file (primary and nested) and their digest checks
//   signerpin         the publisher pin (SHA-256 hashes of public keys)
//   hex               bytes as hex digits
#pragma once

#include "bytespan.h"
#include "certificatetable.h"
#include "hex.h"
#include "imagedigest.h"
#include "peheaders.h"
#include "readat.h"
#include "result.h"
#include "sha256.h"
#include "signaturechoice.h"
#include "signeddata.h"
#include "signerpin.h"
