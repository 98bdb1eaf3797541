#define SQLITE_HAS_CODEC 1
#include <sqlite3.h>

#include "benchsupport.h"

#include <QProcess>

#include "storage/passphrase.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

const char *const kCreateRecordTable =
    "CREATE TABLE Record(uid INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,time DATETIME,model "
    "VARCHAR NOT NULL,name VARCHAR NOT NULL,slave INTEGER NOT NULL,channel INTEGER,factor "
    "VARCHAR NOT NULL,unit VARCHAR,value VARCHAR,status VARCHAR);";

sqlite3 *openRaw(const QString &path)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "cannot open %s\n", qPrintable(path));
        std::exit(1);
    }
    sqlite3_key(db, kPassPhrase, kPassPhraseLength);
    sqlite3_exec(db,
                 "PRAGMA cipher_page_size = 1024; PRAGMA kdf_iter = 64000;"
                 "PRAGMA cipher_use_hmac = ON;",
                 nullptr, nullptr, nullptr);
    return db;
}

void mustRun(sqlite3 *db, const char *sql)
{
    char *error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        std::fprintf(stderr, "%s: %s\n", sql, error ? error : "?");
        std::exit(1);
    }
}

std::string timeText(time_t seconds)
{
    struct tm parts;
    gmtime_r(&seconds, &parts);
    char text[24];
    std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

std::string instrumentName(int i)
{
    char name[32];
    std::snprintf(name, sizeof(name), "仪表%03d", i + 1);
    return name;
}

long generateRecordFile(const QString &path, long rows, int instruments)
{
    sqlite3 *db = openRaw(path);
    mustRun(db, kCreateRecordTable);
    mustRun(db, "BEGIN");
    sqlite3_stmt *insert = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO Record(time,model,name,slave,channel,factor,unit,value,status) "
                       "VALUES(?,?,?,?,?,?,?,?,?)",
                       -1, &insert, nullptr);
    std::vector<std::string> names;
    for (int i = 0; i < instruments; ++i)
        names.push_back(instrumentName(i));
    long written = 0;
    for (long r = 0; written < rows; ++r) {
        const std::string time = timeText(kFirstReading + r * kReadIntervalSeconds);
        char values[2][16];
        std::snprintf(values[0], sizeof(values[0]), "%.2f", 8 + (r % 97) / 100.0);
        std::snprintf(values[1], sizeof(values[1]), "%.1f", 20 + (r % 31) / 10.0);
        for (int i = 0; i < instruments && written < rows; ++i)
            for (int channel = 0; channel < 2 && written < rows; ++channel, ++written) {
                sqlite3_bind_text(insert, 1, time.c_str(), -1, SQLITE_STATIC);
                sqlite3_bind_text(insert, 2, "DI590", -1, SQLITE_STATIC);
                sqlite3_bind_text(insert, 3, names[i].c_str(), -1, SQLITE_STATIC);
                sqlite3_bind_int(insert, 4, i + 1);
                sqlite3_bind_int(insert, 5, channel);
                sqlite3_bind_text(insert, 6, channel ? "Temper" : "DO", -1, SQLITE_STATIC);
                sqlite3_bind_text(insert, 7, channel ? "℃" : "mg/L", -1, SQLITE_STATIC);
                sqlite3_bind_text(insert, 8, values[channel], -1, SQLITE_STATIC);
                sqlite3_bind_text(insert, 9, "N", -1, SQLITE_STATIC);
                sqlite3_step(insert);
                sqlite3_reset(insert);
            }
    }
    sqlite3_finalize(insert);
    mustRun(db, "COMMIT");
    sqlite3_close(db);
    return written;
}

bool startSimulator(QProcess &simulator, const QStringList &arguments)
{
    simulator.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    simulator.start(QStringLiteral(HYDROVANE_SIM_PATH), arguments);
    QByteArray output;
    while (!output.contains('\n') && simulator.waitForReadyRead(10000))
        output += simulator.readAllStandardOutput();
    if (!output.startsWith("ready "))
        std::fprintf(stderr, "the simulator did not answer\n");
    return output.startsWith("ready ");
}
