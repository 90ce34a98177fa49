// certname: whether a server certificate names the host that was asked for, by the rules browsers
// apply (RFC 6125 as browsers narrow it). The updater uses it to see name problems that its request
// flags let through; the rules are kept here so that they are tested natively and fuzzed.
// Portable code: no platform headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace portable {

// Whether one name of a certificate (a DNS name of the alternative names, or the common name)
// covers host. Letter case and one trailing dot are ignored. A "*" is accepted only as the whole
// leftmost label, followed by at least two labels ("*.example.com", not "*.com"), and stands for
// exactly one non-empty label; it never matches an IP address, and a name with a "*" anywhere
// else matches nothing. A name with a zero character, a blank or an empty label matches nothing.
// An IP address host must be written exactly so in the name.
bool certificateNameCovers(std::wstring_view name, std::wstring_view host);

// The names a certificate presents for the check: its DNS alternative names (and IP address
// alternative names as text) when it has any, otherwise its common names, as browsers do.
struct CertificateNames {
    std::vector<std::wstring> alternative; // DNS names and IP addresses of the alternative names
    std::vector<std::wstring> common;      // common names of the subject
};

// The names of a certificate in DER (an X.509 Certificate): the DNS names and IP addresses of its
// subjectAltName extension and the common names of its subject, each taken with every character
// it holds (a zero character stays, so that such a name matches nothing). False, with nothing
// filled in, when the bytes are no certificate this reader understands.
bool readCertificateNames(const uint8_t* der, size_t size, CertificateNames* names);

// Whether the certificate's names cover host: only the alternative names count when there are
// any, the common names otherwise.
bool certificateCoversHost(const CertificateNames& names, std::wstring_view host);

// Whether host is an IPv4 address in dotted decimal or an IPv6 address (possibly in brackets).
bool isIpAddressHost(std::wstring_view host);

} // namespace portable
