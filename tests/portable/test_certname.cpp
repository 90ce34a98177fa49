// Whether a certificate names the host: the exact names, the wildcard rules browsers apply, and the
// names an attacker with a certificate for another name would present to get past the check.
#include "certname.h"

#include "certbuilder.h"
#include "hostscratch.h"

#include <gtest/gtest.h>

#include <string>

using portable::certificateCoversHost;
using portable::certificateNameCovers;
using portable::CertificateNames;

TEST(CertificateName, ExactNamesIgnoreLetterCaseAndOneTrailingDot)
{
    EXPECT_TRUE(certificateNameCovers(L"localhost", L"localhost"));
    EXPECT_TRUE(certificateNameCovers(L"CV.Example.COM", L"cv.example.com"));
    EXPECT_TRUE(certificateNameCovers(L"cv.example.com.", L"cv.example.com"));
    EXPECT_TRUE(certificateNameCovers(L"cv.example.com", L"cv.example.com."));
    EXPECT_TRUE(certificateNameCovers(L"127.0.0.1", L"127.0.0.1"));
    EXPECT_TRUE(certificateNameCovers(L"::1", L"[::1]"));

    EXPECT_FALSE(certificateNameCovers(L"wrong.example", L"localhost"));
    EXPECT_FALSE(certificateNameCovers(L"cv.example.com", L"cv.example.co"));
    EXPECT_FALSE(certificateNameCovers(L"example.com", L"cv.example.com")) << "a parent domain is another name";
    EXPECT_FALSE(certificateNameCovers(L"cv.example.com", L"example.com"));
    EXPECT_FALSE(certificateNameCovers(L"", L""));
    EXPECT_FALSE(certificateNameCovers(L"localhost", L""));
    EXPECT_FALSE(certificateNameCovers(L"127.0.0.1", L"127.0.0.2"));
}

TEST(CertificateName, WildcardsStandForExactlyOneLeftmostLabel)
{
    EXPECT_TRUE(certificateNameCovers(L"*.example.com", L"cv.example.com"));
    EXPECT_TRUE(certificateNameCovers(L"*.EXAMPLE.com", L"CV.example.COM"));
    EXPECT_TRUE(certificateNameCovers(L"*.corp.example.com", L"cv.corp.example.com"));

    EXPECT_FALSE(certificateNameCovers(L"*.example.com", L"example.com")) << "the wildcard is one whole label";
    EXPECT_FALSE(certificateNameCovers(L"*.example.com", L"a.b.example.com")) << "never more than one label";
    EXPECT_FALSE(certificateNameCovers(L"*.example.com", L".example.com"));
    EXPECT_FALSE(certificateNameCovers(L"*.example.com", L"cv.example.org"));
}

// Names a certificate authority may have been talked into, or a server may present, to cover
// hosts they were never meant for.
TEST(CertificateName, HostileNamesCoverNothing)
{
    // Wildcards too wide: all of a top-level domain, everything, or a partial label.
    EXPECT_FALSE(certificateNameCovers(L"*.com", L"example.com"));
    EXPECT_FALSE(certificateNameCovers(L"*", L"localhost"));
    EXPECT_FALSE(certificateNameCovers(L"*.", L"localhost."));
    EXPECT_FALSE(certificateNameCovers(L"c*.example.com", L"cv.example.com"));
    EXPECT_FALSE(certificateNameCovers(L"*v.example.com", L"cv.example.com"));
    EXPECT_FALSE(certificateNameCovers(L"cv.*.com", L"cv.example.com"));
    EXPECT_FALSE(certificateNameCovers(L"*.*.example.com", L"a.b.example.com"));
    EXPECT_FALSE(certificateNameCovers(L"xn--*.example.com", L"xn--bcher-kva.example.com"));
    // Wildcards never cover an address.
    EXPECT_FALSE(certificateNameCovers(L"*.0.0.1", L"127.0.0.1"));
    EXPECT_FALSE(certificateNameCovers(L"*.168.1.10", L"192.168.1.10"));
    // A zero character ends the name for some readers: "cv.example.com\0.evil.org".
    EXPECT_FALSE(certificateNameCovers(std::wstring(L"cv.example.com\0.evil.org", 25), L"cv.example.com"));
    EXPECT_FALSE(certificateNameCovers(std::wstring(L"cv.example.com\0", 15), L"cv.example.com"));
    // Blanks, empty labels and control characters.
    EXPECT_FALSE(certificateNameCovers(L"cv.example.com ", L"cv.example.com"));
    EXPECT_FALSE(certificateNameCovers(L"cv..example.com", L"cv..example.com"));
    EXPECT_FALSE(certificateNameCovers(L".cv.example.com", L".cv.example.com"));
    EXPECT_FALSE(certificateNameCovers(L"cv.example.com\n", L"cv.example.com"));
    EXPECT_FALSE(certificateNameCovers(L"cv.example.com..", L"cv.example.com"));
}

TEST(CertificateName, AlternativeNamesReplaceTheCommonName)
{
    CertificateNames names;
    names.common = {L"localhost"};
    EXPECT_TRUE(certificateCoversHost(names, L"localhost")) << "without alternative names the common name counts";
    EXPECT_FALSE(certificateCoversHost(names, L"127.0.0.1"));

    // With alternative names the common name no longer counts, as in browsers: a certificate for
    // "wrong.example" that carries the victim's name as its common name covers only wrong.example.
    names.alternative = {L"wrong.example"};
    EXPECT_FALSE(certificateCoversHost(names, L"localhost"));
    EXPECT_TRUE(certificateCoversHost(names, L"wrong.example"));

    names.alternative = {L"wrong.example", L"*.example.com", L"127.0.0.1"};
    EXPECT_TRUE(certificateCoversHost(names, L"cv.example.com"));
    EXPECT_TRUE(certificateCoversHost(names, L"127.0.0.1"));
    EXPECT_FALSE(certificateCoversHost(names, L"localhost"));

    EXPECT_FALSE(certificateCoversHost(CertificateNames(), L"localhost")) << "no names cover nothing";
}

TEST(CertificateName, IpAddressHosts)
{
    EXPECT_TRUE(portable::isIpAddressHost(L"127.0.0.1"));
    EXPECT_TRUE(portable::isIpAddressHost(L"::1"));
    EXPECT_TRUE(portable::isIpAddressHost(L"fe80::1"));
    EXPECT_FALSE(portable::isIpAddressHost(L"localhost"));
    EXPECT_FALSE(portable::isIpAddressHost(L"1.example"));
    EXPECT_FALSE(portable::isIpAddressHost(L""));
}

// --- Reading the names out of a certificate ---------------------------------------------------

namespace {

using certbuilder::certificate;
using certbuilder::commonName;
using certbuilder::der;

portable::CertificateNames namesOf(const std::string& bytes, bool* ok)
{
    portable::CertificateNames names;
    *ok = portable::readCertificateNames(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &names);
    return names;
}

} // namespace

TEST(CertificateNames, ReadsAlternativeAndCommonNames)
{
    const std::string alt = der(0x82, "localhost") + der(0x81, "ops@example.com") +
                            der(0x87, std::string("\x7F\0\0\x01", 4)) +
                            der(0x87, std::string("\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\1", 16)) + der(0x82, "*.example.com");
    bool ok = false;
    auto names = namesOf(certificate(der(0x31, der(0x30, der(0x06, "\x55\x04\x0A") + der(0x13, "Callvane"))) +
                                         commonName("wrong.example", 0x13),
                                     &alt, true),
                         &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(names.common, std::vector<std::wstring>{L"wrong.example"}) << "the organisation is no common name";
    EXPECT_EQ(names.alternative, (std::vector<std::wstring>{L"localhost", L"127.0.0.1", L"::1", L"*.example.com"}));
    EXPECT_TRUE(certificateCoversHost(names, L"localhost"));
    EXPECT_FALSE(certificateCoversHost(names, L"wrong.example")) << "with alternative names the common name is out";

    // No extension: the common names; a BMPString and UTF-8 outside ASCII are read as text.
    names = namesOf(certificate(commonName(std::string("\0l\0o\0c\0a\0l\0h\0o\0s\0t", 18), 0x1E), nullptr), &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(names.common, std::vector<std::wstring>{L"localhost"});
    EXPECT_TRUE(names.alternative.empty());
    names = namesOf(certificate(commonName("b\xC3\xBC"
                                           "cher.example"),
                                nullptr),
                    &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(names.common, std::vector<std::wstring>{L"b\u00FCcher.example"});
}

TEST(CertificateNames, HostileCertificatesCoverNothingAndNeverReadOutside)
{
    bool ok = false;
    // A zero character inside the alternative name and inside the common name stays in the name.
    const std::string nulAlt = der(0x82, std::string("localhost\0.evil.example", 23));
    auto names = namesOf(certificate(commonName("evil.example"), &nulAlt), &ok);
    ASSERT_TRUE(ok);
    EXPECT_FALSE(certificateCoversHost(names, L"localhost"));
    names = namesOf(certificate(commonName(std::string("localhost\0.evil.example", 23)), nullptr), &ok);
    ASSERT_TRUE(ok);
    EXPECT_FALSE(certificateCoversHost(names, L"localhost"));
    // Invalid UTF-8 (an overlong "/" and a lone continuation byte) is no name.
    names = namesOf(certificate(commonName("local\xC0\xAFhost\x80"), nullptr), &ok);
    ASSERT_TRUE(ok);
    EXPECT_FALSE(certificateCoversHost(names, L"local/host"));

    // Every truncation of a good certificate, and lengths that point past the end, are refused.
    const std::string alt = der(0x82, "localhost");
    const std::string good = certificate(commonName("localhost"), &alt);
    for (size_t n = 0; n < good.size(); ++n) {
        std::string cut = good.substr(0, n);
        portable::CertificateNames none;
        EXPECT_FALSE(portable::readCertificateNames(reinterpret_cast<const uint8_t*>(cut.data()), cut.size(), &none))
            << n;
        EXPECT_TRUE(none.common.empty() && none.alternative.empty());
    }
    std::string longer = good;
    longer[1] = static_cast<char>(longer[1] + 1);
    namesOf(longer, &ok);
    EXPECT_FALSE(ok);
    EXPECT_FALSE(portable::readCertificateNames(nullptr, 0, &names));
    // An indefinite length and a five-byte length.
    namesOf(std::string("\x30\x80\x00\x00", 4), &ok);
    EXPECT_FALSE(ok);
    namesOf(std::string("\x30\x85\x01\x00\x00\x00\x00", 7), &ok);
    EXPECT_FALSE(ok);
}

// A certificate as openssl writes it, read by the same code.
TEST(CertificateNames, ReadsACertificateMadeByOpenssl)
{
    const HostScratch scratch("certname-test");
    ASSERT_TRUE(scratch.valid());
    const bool made = scratch.run("openssl req -x509 -newkey rsa:2048 -nodes -keyout k.pem -out c.pem -days 1"
                                  " -subj '/O=Callvane Test/CN=wrong.example' -addext"
                                  " 'subjectAltName=DNS:wrong.example,DNS:*.wrong.example,IP:10.0.0.7'"
                                  " && openssl x509 -in c.pem -outform DER -out c.der");
    const std::vector<uint8_t> der = scratch.read("c.der");
    const std::string bytes(der.begin(), der.end());
    ASSERT_TRUE(made) << "openssl failed";
    bool ok = false;
    const auto names = namesOf(bytes, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(names.common, std::vector<std::wstring>{L"wrong.example"});
    EXPECT_EQ(names.alternative, (std::vector<std::wstring>{L"wrong.example", L"*.wrong.example", L"10.0.0.7"}));
    EXPECT_FALSE(certificateCoversHost(names, L"localhost"));
    EXPECT_TRUE(certificateCoversHost(names, L"cv.wrong.example"));
    EXPECT_TRUE(certificateCoversHost(names, L"10.0.0.7"));
}
