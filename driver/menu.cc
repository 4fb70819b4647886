#include "menu.h"

#include <errmsg.h>

#include <iostream>
#include <limits>

#include "connection.h"
#include "console.h"
#include "reports/reports.h"

namespace {

void discardLine(std::istream& in) {
    in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
}

/// Writes `prompt`; false when standard output can no longer be written, so
/// that nobody could see the answer's result (a closed pipe, say).
bool prompted(const char* prompt) {
    std::cout << prompt << std::flush;
    return static_cast<bool>(std::cout);
}

/// Writes `prompt` and reads an integer until one lies in [lowest, highest].
/// Returns false when standard input ended or standard output failed.
bool askNumber(const char* prompt, std::int64_t lowest, std::int64_t highest, std::int64_t& value) {
    for (;;) {
        if (!prompted(prompt)) return false;
        const InputStatus status = readInteger(std::cin, value);
        if (status == inputEnded) return false;
        if (status == inputRead && value >= lowest && value <= highest) return true;
    }
}

/// Opens the session again when the connection was lost (a restarted server,
/// an idle timeout), so that the next report finds a server that is back.
/// Nothing is run again. Returns why the session could not be opened again,
/// or an empty text when there is a session.
std::string reopenIfLost(mysqlpp::Connection& con) {
    if (con.connected() && con.ping()) return {};
    try {
        reopenSession(con);
    } catch (const mysqlpp::Exception& e) {
        return *e.what() ? e.what() : "the connection could not be opened again";
    }
    return {};
}

/// Runs the action of a choice from 0 to 3; false when the action's own
/// prompt met the end of standard input or a failed standard output.
bool runAction(int optionChoice, mysqlpp::Connection& con, mysqlpp::StoreQueryResult& res,
               mysqlpp::Query& query) {
    std::int64_t userArtist = 0;
    std::string userSong;
    if (optionChoice == 2 && !askNumber("Artist ID? ", std::numeric_limits<std::int64_t>::min(),
                                        std::numeric_limits<std::int64_t>::max(), userArtist)) {
        return false;
    }
    if (optionChoice == 3 && (!prompted("All or beginning part of song name? ") ||
                              readAnswerLine(std::cin, userSong) == inputEnded)) {
        return false;
    }
    // The report's own statement would only fail with "Server has gone away"
    // on the closed connection; the reason the server could not be reached
    // is what the user needs.
    const std::string unreachable = reopenIfLost(con);
    if (!unreachable.empty()) {
        reportNotRun(optionChoice, unreachable);
        return true;
    }
    int failed = 0;
    if (optionChoice == 0) {
        failed = listAllArtists(res, query);
    } else if (optionChoice == 1) {
        failed = listAllSongs(res, query);
    } else if (optionChoice == 2) {
        failed = listSongsByArtist(res, query, userArtist);
    } else if (optionChoice == 3) {
        failed = showArtistOfSong(res, query, userSong);
    }
    // A client library out of memory stops reading a result halfway, and the
    // rows left unread would fail the next statement without a reason; the
    // next report gets a new session instead.
    if (failed && con.errnum() == CR_OUT_OF_MEMORY) con.disconnect();
    return true;
}

}  // namespace

InputStatus readInteger(std::istream& in, std::int64_t& value) {
    in >> value;
    if (in.fail()) {
        if (in.eof()) return inputEnded;
        in.clear();
        discardLine(in);
        return inputInvalid;
    }
    // The number was the last thing in the input; the next read sees the end.
    if (in.eof()) return inputRead;
    const auto next = in.peek();
    if (next == ' ' || next == '\t' || next == '\n' || next == '\r') return inputRead;
    discardLine(in);
    return inputInvalid;
}

InputStatus readAnswerLine(std::istream& in, std::string& line) {
    discardLine(in);
    if (!std::getline(in, line)) return inputEnded;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return inputRead;
}

int runActionMenu(mysqlpp::Connection& con, mysqlpp::StoreQueryResult& res, mysqlpp::Query& query) {
    std::int64_t optionChoice = 5;
    while (optionChoice != 4) {
        optionChoice = 5;
        std::cout << "Please enter the number of an action to execute:\n"
                     "0 - List All Artists\n"
                     "1 - List All Songs\n"
                     "2 - List Songs by a Given Artist\n"
                     "3 - Show the Artist of a Given Song\n"
                     "4 - Exit\n";
        const bool chosen = askNumber("? ", 0, 4, optionChoice);
        std::cout << std::endl;
        if (!chosen || optionChoice == 4) break;
        if (!runAction(static_cast<int>(optionChoice), con, res, query)) {
            std::cout << std::endl;
            break;
        }
        // When nobody sees the output any more, there is nothing to wait for.
        if (!waitForKeyPress("Press any key...")) break;
        std::cout << "\n\n";
    }
    std::cout << "Exiting, please wait..." << std::endl;
    if (!std::cout) {
        std::cerr << "Failed to write to standard output" << std::endl;
        return 1;
    }
    return 0;
}
