// The station protocol: ask which module comes next, then download it into a
// track buffer, with "buffering..." in the title box meanwhile.
#include "MainWindow.h"

#include <cstring>
#include <string>

#include "FetchRules.h"
#include "InternetReader.h"
#include "StationAddress.h"
#include "TrackBuffers.h"

namespace {
// No cache writes, keep the connection: the same for both requests.
const DWORD kRequestFlags = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION;
const DWORD kPiece = 1024;

enum class Download { Complete, TooLarge, Failed };

// Reads the opened request to its end into `buffer`, from its first byte, taking
// at most `limit` bytes: a body with more fails instead of running past the end,
// and one announced with more fails before it is read. `total` gets the bytes
// kept. A read error (a body cut short of its length among them) ends a module,
// whose bytes may still play; an answer cut short fails: it names no module.
Download ReadBody(InternetReader& reader, unsigned char* buffer, DWORD limit, DWORD& total,
                  const std::atomic<bool>& stop, bool cutIsEnd) {
    total = 0;
    if (!BodyFits(reader.Length(), limit)) {
        return Download::TooLarge;
    }
    unsigned char overflow[kPiece];
    for (;;) {
        DWORD room = limit - total;
        unsigned char* dest = room > 0 ? buffer + total : overflow;
        DWORD count = 0;
        if (!reader.Read(dest, room > 0 ? (room < kPiece ? room : kPiece) : kPiece, &count, stop)) {
            return stop || !cutIsEnd ? Download::Failed : Download::Complete;
        }
        if (count == 0) {
            return stop ? Download::Failed : Download::Complete;
        }
        // The stop flag is looked at after each piece that arrived, before it counts.
        if (stop) {
            return Download::Failed;
        }
        if (room == 0) {
            return Download::TooLarge;
        }
        total += count;
    }
}
} // namespace

KString MakeTrackUrl(const KString& answer) {
    return StationBaseUrl + answer;
}

bool MainWindow::DownloadToBuffer(unsigned char* buffer, InternetReader& reader) {
    DWORD total = 0;
    Download result = ReadBody(reader, buffer, static_cast<DWORD>(trackBufferSize), total,
                               threadShouldStop, true);
    reader.Close();
    return result == Download::Complete && total > 0 && !threadShouldStop;
}

bool MainWindow::FetchTrack(unsigned char* buffer) {
    memset(buffer, 0, trackBufferSize);
    KString savedTitle = titleBox.GetText();
    titleBox.SetText(KString(L"buffering..."));

    bool fetched = false;
    InternetReader reader;
    // The answer's text goes back to the station: it is read from the station only.
    if (reader.Open(internetHandle, StationRequestUrl, kRequestFlags, threadShouldStop,
                    RedirectScope::SameServer)) {
        // The answer must leave room for the zero byte that ends it.
        DWORD total = 0;
        Download answer = ReadBody(reader, buffer, static_cast<DWORD>(trackBufferSize) - 1, total,
                                   threadShouldStop, false);
        reader.Close();
        if (answer == Download::Complete && total > 0 && !threadShouldStop) {
            KString answerText(reinterpret_cast<const char*>(buffer));
            const wchar_t* text = answerText; // null: no text could be made of it
            std::wstring name;
            if (text != nullptr && TrackName(text, name)) {
                KString url = MakeTrackUrl(KString(name.c_str()));
                InternetReader module;
                if (module.Open(internetHandle, url, kRequestFlags, threadShouldStop,
                                RedirectScope::AnyWebServer)) {
                    fetched = DownloadToBuffer(buffer, module);
                }
            }
        }
    }
    // Whatever failed, no request stays open behind the box (the module's closed
    // with its block).
    reader.Close();
    if (fetched) {
        titleBox.SetText(savedTitle);
        return true;
    }
    ShowWorkerError(KString(L"Cannot download file! \n\nMake sure that your firewall is not "
                            L"blocking this application!"));
    return false;
}
