#include "Ownfile.h"

#include "Fileobject.h"
#include "LogLevel.h"
#include "Logger.h"
#include "cSignaturecheck.h"
#include "deploymentblock.h"
#include "handles.h"
#include "peheaders.h"
#include "textutil.h"

#include <algorithm>
#include <cstring>

std::shared_ptr<const Ownfile> Ownfile::read(const std::wstring& path)
{
    auto own = std::make_shared<Ownfile>();
    // Others may read it and rename it (the update swaps it), but nobody writes while it is read.
    handles::Kernel file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.valid()) {
        own->systemError = ::GetLastError();
        return own;
    }
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(file.get(), &size)) {
        own->systemError = ::GetLastError();
        return own;
    }
    if (static_cast<uint64_t>(size.QuadPart) > MAX_SIZE) {
        own->systemError = ERROR_FILE_TOO_LARGE;
        return own;
    }
    try {
        own->bytes.resize(static_cast<size_t>(size.QuadPart));
    } catch (...) {
        own->systemError = ERROR_NOT_ENOUGH_MEMORY;
        return own;
    }
    size_t got = 0;
    if (!readFully(file.get(), own->bytes.data(), own->bytes.size(), &got)) {
        own->systemError = ::GetLastError();
    } else if (got != own->bytes.size()) {
        own->systemError = ERROR_HANDLE_EOF; // the file shrank while it was read
    }
    if (own->systemError != NO_ERROR) {
        own->bytes.clear();
    }
    return own;
}

std::wstring Ownfile::unreadableReason() const
{
    if (readable()) {
        return {};
    }
    return textutil::format(L"the installer's own file cannot be read (system error %lu)",
                            static_cast<unsigned long>(systemError));
}

portable::ReadAt Ownfile::reader() const
{
    return [this](uint64_t offset, uint8_t* buffer, size_t length) {
        if (offset > bytes.size() || length > bytes.size() - offset) {
            return false;
        }
        std::memcpy(buffer, bytes.data() + offset, length);
        return true;
    };
}

bool Ownfile::hasCertificateTable() const
{
    // The headers of real programs lie in the first 64 KiB.
    const size_t head = static_cast<size_t>(std::min<uint64_t>(bytes.size(), 65536));
    portable::PeHeaders headers;
    return portable::readPeHeaders(reinterpret_cast<const uint8_t*>(bytes.data()), head, bytes.size(), &headers).ok() &&
           headers.certTableSize != 0;
}

std::wstring Ownfile::deploymentBlock() const { return portable::deploymentBlockOfBytes(bytes); }

Publisherpin::OwnSignature Ownfile::checkSignature(Logger* logger, const wchar_t* function) const
{
    Publisherpin::OwnSignature own;
    if (!readable()) {
        own.unreadable = unreadableReason();
        return own;
    }
    own.present = hasCertificateTable();
    if (own.present) {
        if (logger != nullptr) {
            logger->log(LOG_DEBUG, function, L"Checking the installer's own signature");
        }
        own.outcome = cSignaturecheck::verify(size(), reader());
        if (logger != nullptr) {
            logger->log(LOG_DEBUG, function, L"Own signature checked");
        }
    }
    return own;
}
