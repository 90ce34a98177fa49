#include "Downloadchecks.h"

#include "updateterms.h"

#include "Fileobject.h"
#include "cSignaturecheck.h"
#include "programimage.h"
#include "textutil.h"

#include <algorithm>
#include <cstring>

namespace {

std::wstring dotted(const portable::FixedFileVersion::Parts& v)
{
    return textutil::format(L"%u.%u.%u.%u", static_cast<unsigned>(v[0]), static_cast<unsigned>(v[1]),
                            static_cast<unsigned>(v[2]), static_cast<unsigned>(v[3]));
}

} // namespace

Downloadchecks::Downloadchecks(Logger* logger, const Pin& signerPin, Bodydigest* bodyDigest, const VersionFloor& floor)
    : Loguser(logger), pin(signerPin), digest(bodyDigest), versionFloor(floor)
{
}

// Size, the publisher and its version (with a pin: the trust decision comes first; a version
// means something only in a file the publisher signed), program image, not the target itself:
// any failure deletes the download.
portable::Result Downloadchecks::check(Downloadfile* download, const std::wstring& targetFile)
{
    portable::Result r = checkSize(download);
    if (r && pin.set) {
        r = checkSignature(download);
        if (r) {
            r = checkVersion(download);
        }
    }
    if (r) {
        r = checkProgramImage(download);
    }
    if (r) {
        r = checkNotCurrent(download, targetFile);
    }
    if (!r) {
        download->discard();
    }
    return r;
}

// Bodies of this size are no build of the program (error pages, placeholders).
portable::Result Downloadchecks::checkSize(Downloadfile* download)
{
    const uint64_t size = download->size();
    if (size < updateterms::SIZE_REJECT_MIN || size > updateterms::SIZE_REJECT_MAX) {
        return portable::Result::done();
    }
    log(LOG_ERROR, updateterms::FN_UPDATE,
        textutil::format(L"Downloaded file rejected, its size of %llu bytes lies between %llu and %llu bytes",
                         static_cast<unsigned long long>(size),
                         static_cast<unsigned long long>(updateterms::SIZE_REJECT_MIN),
                         static_cast<unsigned long long>(updateterms::SIZE_REJECT_MAX)));
    return portable::Result::failedWith(updateterms::UPDATE_SIZE_REJECTED, 0);
}

// The headers, read back from the private file, must describe a complete executable image.
portable::Result Downloadchecks::checkProgramImage(Downloadfile* download)
{
    const uint64_t size = download->size();
    std::vector<uint8_t> head(
        static_cast<size_t>(size < portable::IMAGE_HEAD_BYTES ? size : portable::IMAGE_HEAD_BYTES));
    const size_t filled = download->readFully(0, head.data(), head.size());
    const portable::ImageCheck check = portable::checkProgramImage(head.data(), filled, size);
    if (check.ok()) {
        return portable::Result::done();
    }
    std::wstring what = portable::describeImageFault(check.fault);
    if (check.fault == portable::ImageFault::SectionOutside ||
        check.fault == portable::ImageFault::SectionInCertTable) {
        what += textutil::format(L" (section %u)", static_cast<unsigned>(check.section));
    }
    log(LOG_ERROR, updateterms::FN_UPDATE,
        textutil::format(L"Downloaded file of %llu bytes is not a program: %ls", static_cast<unsigned long long>(size),
                         what.c_str()));
    return portable::Result::failedWith(updateterms::UPDATE_NOT_A_PROGRAM, static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
}

portable::Result Downloadchecks::signatureRejected(const std::wstring& why)
{
    log(LOG_ERROR, updateterms::FN_UPDATE, L"Signature rejected " + why);
    return portable::Result::failedWith(updateterms::UPDATE_SIGNATURE_REJECTED, static_cast<DWORD>(ERROR_INVALID_DATA));
}

// With a publisher pin: the private download must carry a valid signature of a pinned key, and
// when it is an installer (it carries a deployment block) its block must keep the pin. One
// level-2 line names the requirement that failed and the signer found.
portable::Result Downloadchecks::checkSignature(Downloadfile* download)
{
    if (pin.malformed) {
        return signatureRejected(L"(c): the signer pin of the deployment is malformed; signer found: none");
    }
    // The digest and the block scan of the bytes as they were written spare reading the whole
    // file again.
    portable::Sha256::Digest written;
    const bool digestKnown = digest != nullptr && digest->finish(&written);
    const auto read = [download](uint64_t offset, uint8_t* buffer, size_t length) {
        return download->readFully(offset, buffer, length) == length;
    };
    portable::SignerEntryScan scanned;
    const portable::SignerEntryScan* scan = digestKnown ? &digest->blockScan() : &scanned;
    if (!digestKnown && !cSignaturecheck::scanFile(download->size(), read, &scanned)) {
        return signatureRejected(L"(a): the file cannot be read; signer found: none");
    }
    const cSignaturecheck::Outcome outcome =
        cSignaturecheck(pin.keys).check(download->size(), read, digestKnown ? &written : nullptr, scan);
    const std::wstring signer = outcome.signer.empty() ? L"none" : outcome.signer;
    if (!outcome.accepted()) {
        return signatureRejected(L"(" + outcome.requirement() + L"): " + outcome.detail + L"; signer found: " + signer);
    }
    log(LOG_DEBUG, updateterms::FN_UPDATE, L"Signature accepted, signer: " + signer);
    return portable::Result::done();
}

portable::Result Downloadchecks::versionRefused(const std::wstring& what, int32_t code, DWORD systemError)
{
    if (versionFloor.downgradeAllowed) {
        log(LOG_WARNING, updateterms::FN_UPDATE, what + L": accepted, this build allows downgrades");
        return portable::Result::done();
    }
    log(LOG_ERROR, updateterms::FN_UPDATE, what + L": refused");
    return portable::Result::failedWith(code, systemError);
}

// Under a pin: a build older than the running installer would bring back what a later build
// fixed, so the signed fixed file version must be at least the installer's own. Equal passes:
// builds of one version differ only in their deployment block.
portable::Result Downloadchecks::checkVersion(Downloadfile* download)
{
    const auto read = [download](uint64_t offset, uint8_t* buffer, size_t length) {
        return download->readFully(offset, buffer, length) == length;
    };
    portable::FixedFileVersion found;
    const portable::Result r = portable::readFixedFileVersion(read, download->size(), &found);
    if (!r) {
        const std::wstring own =
            versionFloor.known ? L"this installer's " + dotted(versionFloor.version) : L"this installer's own";
        return versionRefused(L"Downloaded program carries no version to compare with " + own + L" (" +
                                  textutil::fromUtf8(r.reason) + L")",
                              updateterms::UPDATE_NO_VERSION, static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
    }
    if (!versionFloor.known) {
        // Nothing to compare with is no licence to take any version.
        return versionRefused(L"Downloaded program has version " + dotted(found.file) +
                                  L", this installer's own version is not known",
                              updateterms::UPDATE_OLDER_BUILD, static_cast<DWORD>(ERROR_INVALID_DATA));
    }
    if (found.file < versionFloor.version) {
        return versionRefused(L"Downloaded program has version " + dotted(found.file) +
                                  L", older than this installer's " + dotted(versionFloor.version),
                              updateterms::UPDATE_OLDER_BUILD, static_cast<DWORD>(ERROR_INVALID_DATA));
    }
    log(LOG_DEBUG, updateterms::FN_UPDATE,
        L"Downloaded program has version " + dotted(found.file) + L", this installer's is " +
            dotted(versionFloor.version));
    return portable::Result::done();
}

// The very file that stands at the target (the running installer): nothing to do.
portable::Result Downloadchecks::checkNotCurrent(Downloadfile* download, const std::wstring& targetFile)
{
    handles::Kernel current(::CreateFileW(targetFile.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!current.valid() || !sameContent(download, current.get())) {
        return portable::Result::done();
    }
    log(LOG_WARNING, updateterms::FN_UPDATE,
        textutil::format(L"Downloaded file of %llu bytes is the current version already, nothing to update",
                         static_cast<unsigned long long>(download->size())));
    return portable::Result::failedWith(updateterms::UPDATE_ALREADY_CURRENT, 0);
}

bool Downloadchecks::sameContent(Downloadfile* download, HANDLE other)
{
    LARGE_INTEGER otherSize = {};
    if (!::GetFileSizeEx(other, &otherSize) || static_cast<uint64_t>(otherSize.QuadPart) != download->size()) {
        return false;
    }
    constexpr size_t BLOCK = 65536;
    std::vector<uint8_t> mine(BLOCK);
    std::vector<uint8_t> theirs(BLOCK);
    for (uint64_t offset = 0; offset < download->size();) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(BLOCK, download->size() - offset));
        size_t gotOther = 0;
        if (download->readFully(offset, mine.data(), want) != want ||
            !readFully(other, theirs.data(), want, &gotOther) || gotOther != want ||
            std::memcmp(mine.data(), theirs.data(), want) != 0) {
            return false;
        }
        offset += want;
    }
    return true;
}
