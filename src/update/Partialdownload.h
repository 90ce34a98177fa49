// Partialdownload: the part of a cut download that is kept for the next run, and its record. A
// body of a 200 answer that names the server's copy with a strong validator and is cut after
// MIN_HELD bytes stays in its private file, and a record (portable::PartialRecord) is written
// beside it as "<stem>.partial", through a new private file renamed into that name. The next run
// for the same URL loads the record (and deletes it), reopens the partial file with the download's
// own protections, checks its size and digest, and asks for the rest with Range and If-Range; the
// answer decides whether the held bytes are used, thrown away for the whole body, or thrown away
// before a fresh request. A record that is stale, for another URL, or not exactly as written is
// removed with its file. Created by cWebupdater for one updateFile call; it borrows the Logger.
#pragma once

#include "Bodydigest.h"
#include "Downloadfile.h"
#include "Loguser.h"
#include "partialrecord.h"

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <functional>
#include <string>

class Partialdownload : public Loguser {
public:
    // A cut body is kept from this many bytes on.
    static constexpr uint64_t MIN_HELD = 1048576;
    // A record older than this is removed with its file.
    static constexpr int64_t MAX_AGE_SECONDS = 7 * 24 * 3600;
    // A Last-Modified date is a validator only this long before the answer's Date.
    static constexpr int64_t DATE_VALIDATOR_MARGIN = 60;

    // What a response says about resuming its body later.
    struct Answer {
        std::string validator; // empty: none that is strong
        std::string finalUrl;
        uint64_t total = 0; // 0: not announced
    };

    Partialdownload(Logger* logger, std::wstring folder, std::wstring stem);
    int32_t getClassKind() const override { return 0; }

    // Loads the record for url and checks the held bytes; afterwards ready() says whether a
    // resume may be asked for. Anything unusable is removed and logged.
    void load(const std::wstring& url, uint64_t maxTotal);
    bool ready() const { return held.isOpen(); }
    uint64_t heldBytes() const { return record.held; }
    // "Range: bytes=N-" and "If-Range: <validator>", CR LF between.
    std::wstring requestHeaders() const;
    // Why a 206 answer cannot continue the held bytes; empty when it can.
    std::wstring refusal(HINTERNET request) const;
    // Deletes the held bytes; logs why a resume was refused.
    void drop(const std::wstring& why);
    // Hands the held file over, positioned after the held bytes.
    bool takeInto(Downloadfile* file);
    // Feeds the held bytes of file to digest.
    static bool feed(Downloadfile* file, uint64_t bytes, Bodydigest* digest);

    // The validator, final URL and announced total of a 200 answer.
    static Answer answerOf(HINTERNET request);
    // After a cut transfer: keeps file and writes the record when the answer allows a resume and
    // enough arrived; false when nothing was kept (the caller deletes the file).
    bool keep(Downloadfile* file, const std::wstring& url, const Answer& answer);
    // What the loaded record says of the answer it continues.
    Answer resumedAnswer() const;
    // Held bytes not used in this run stay for the next: the record is written again.
    void putBack();

private:
    void loadRecord(const std::wstring& url, uint64_t maxTotal);
    std::wstring recordPath() const;
    bool readRecord(Downloadfile* recordFile, std::string* text);
    bool checkRecord(const std::string& url, uint64_t maxTotal, std::wstring* why);
    bool checkHeld(std::wstring* why);
    void removeRecordedFile();
    bool writeRecord(const portable::PartialRecord& r);
    static bool readThrough(Downloadfile* file, uint64_t bytes, const std::function<void(const uint8_t*, size_t)>& use);
    static bool digestOf(Downloadfile* file, uint64_t bytes, portable::Sha256::Digest* out);

    std::wstring folder;
    std::wstring stem;
    portable::PartialRecord record;
    Downloadfile held;
};
