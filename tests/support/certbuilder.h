// X.509 certificates built by hand for the native tests and the fuzz seeds of the
// certificate-name reader: a subject and, optionally, a subjectAltName extension; everything the
// reader skips is a placeholder of the right shape. Portable C++: no platform headers.
#pragma once

#include "derbuilder.h"

#include <cstdint>
#include <string>

namespace certbuilder {

// A DER element of tag with contents.
inline std::string der(uint8_t tag, const std::string& contents) { return dertest::element(tag, contents); }

// A relative distinguished name holding one common name (a UTF8String unless stringTag says else).
inline std::string commonName(const std::string& value, uint8_t stringTag = 0x0C)
{
    return der(0x31, der(0x30, der(0x06, "\x55\x04\x03") + der(stringTag, value)));
}

// A certificate with this subject Name contents and these GeneralNames contents (none: no
// extension).
inline std::string certificate(const std::string& subjectRdns, const std::string* generalNames, bool critical = false)
{
    std::string tbs = der(0xA0, der(0x02, "\x02")) + der(0x02, "\x01") + der(0x30, der(0x06, "\x2A\x03")) +
                      der(0x30, commonName("Issuer")) +
                      der(0x30, der(0x17, "200101000000Z") + der(0x17, "300101000000Z")) + der(0x30, subjectRdns) +
                      der(0x30, der(0x30, der(0x06, "\x2A\x03")) + der(0x03, std::string("\0\1", 2)));
    if (generalNames != nullptr) {
        std::string extension = der(0x06, "\x55\x1D\x11");
        if (critical) {
            extension += der(0x01, "\xFF");
        }
        extension += der(0x04, der(0x30, *generalNames));
        tbs += der(0xA3,
                   der(0x30, der(0x30, der(0x06, "\x55\x1D\x13") + der(0x04, der(0x30, ""))) + der(0x30, extension)));
    }
    return der(0x30, der(0x30, tbs) + der(0x30, der(0x06, "\x2A\x03")) + der(0x03, std::string("\0\1", 2)));
}

} // namespace certbuilder
