#include "inventory.h"

#include <mysql++/mysql++.h>

#include "connection.h"
#include "console.h"
#include "menu.h"
#include "reports/report.h"

namespace {

int runWithConsole() {
    mysqlpp::Connection con(true);
    mysqlpp::StoreQueryResult res;
    try {
        openSession(con, false);
    } catch (const mysqlpp::ConnectionFailed& er) {
        writeFailureLine("Connection failed: ", er.what());
        return 1;
    } catch (const mysqlpp::Exception& er) {
        // An option the client library refuses fails the connection too.
        writeFailureLine("Connection failed: ", er.what());
        return 1;
    }

    mysqlpp::Query query = con.query();
    try {
        query << "use Music_Inventory;";
        query.store();
    } catch (const mysqlpp::Exception& er) {
        writeFailureLine("Failed to select database Music_Inventory: ", er.what());
        return 1;
    }
    return runActionMenu(con, res, query);
}

}  // namespace

int runMusicInventory() {
    openConsole();
    const int status = runWithConsole();
    closeConsole();
    return status;
}
