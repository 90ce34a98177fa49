// Downloadchecks: the judgement of a finished download before it may replace the target. In this
// order: a size no build of the program can have (SIZE_REJECT_MIN..SIZE_REJECT_MAX), with a
// publisher pin the signature of a pinned signer (cSignaturecheck; the trust decision comes before
// anything else is read) and then a fixed file version no lower than the running installer's own
// (no rollback to an older, signed build), a complete Windows program image, and not byte for byte
// the target itself. The first failure gives its updateFile result code and deletes the download. Created by
// cWebupdater for one download; it borrows the Logger, the pin and the body digest.
#pragma once

#include "Bodydigest.h"
#include "Downloadfile.h"
#include "Loguser.h"
#include "result.h"
#include "versionresource.h"

#include <windows.h>

#include <string>
#include <vector>

class Downloadchecks : public Loguser {
public:
    // The publisher pin of the deployment: unset (the signature is not looked at), malformed
    // (nothing is accepted) or the keys whose signature is accepted.
    struct Pin {
        bool set = false;
        bool malformed = false;
        std::vector<portable::Sha256::Digest> keys;
    };

    // Under a pin, the lowest version a download may carry: the running installer's own fixed file
    // version (unknown: nothing passes), and whether this build lets older programs (and programs
    // without a version) in all the same.
    struct VersionFloor {
        bool known = false;
        portable::FixedFileVersion::Parts version{};
        bool downgradeAllowed = false;
    };

    // digest: the image digest of the body computed while it was written (may be null); floor:
    // the version floor under a pin.
    Downloadchecks(Logger* logger, const Pin& pin, Bodydigest* digest, const VersionFloor& floor);
    int32_t getClassKind() const override { return 0; }

    // All checks in their order; any failure deletes the download.
    portable::Result check(Downloadfile* download, const std::wstring& targetFile);

    // The single checks, each with its result code and system error.
    portable::Result checkSize(Downloadfile* download);
    portable::Result checkSignature(Downloadfile* download);
    // The fixed file version of the (signed) download against the floor; reads only the headers
    // and the version resource.
    portable::Result checkVersion(Downloadfile* download);
    portable::Result checkProgramImage(Downloadfile* download);
    portable::Result checkNotCurrent(Downloadfile* download, const std::wstring& targetFile);

private:
    portable::Result signatureRejected(const std::wstring& why);
    static bool sameContent(Downloadfile* download, HANDLE other);
    portable::Result versionRefused(const std::wstring& what, int32_t code, DWORD systemError);

    const Pin& pin;
    Bodydigest* digest;
    const VersionFloor versionFloor;
};
