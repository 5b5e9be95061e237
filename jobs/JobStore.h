#pragma once

#include "jobs/UploadJob.h"

#include <QString>

#include <cstdint>
#include <string>

class SettingsStore;

// The layout of the running flag and the job list in the settings store, section "1.0":
//
//   Runned                the running flag, as held
//   Time-<i>              intervalSeconds; -1 (or absent) ends the list
//   Destination file-<i>  texts; an empty text is stored as " ", which loads back as " "
//   Source file-<i>       (the same)
//   WEB-<i>               (the same)
//   User name-<i>         (the same)
//   Password-<i>          the password enciphered by PasswordCipher, " " when there is none
//   Port-<i>              0 to 65535; the low 16 bits are loaded
//   Passive mode-<i>      1 or 0; loaded as stored
//
// There is no count: the list is the run of indices up to the first "Time" of -1. A shorter list
// overwrites the indices it no longer uses ("Time" -1, empty texts, "Port" and "Passive mode" -1)
// up to the first absent "Time"; nothing is ever deleted. The cipher's key containers are those of
// store.KeyStoreRoot().

// What a load could not read.
struct LoadReport
{
    // Why the settings file could not be read at all (SettingsStore::ReadError); the list is then
    // empty, and no save writes over the file.
    std::string fileError;
    // Jobs whose stored password text could not be deciphered. Each keeps its text unchanged
    // (UploadJob::passwordUnread) and has an empty password meanwhile.
    int unreadPasswords = 0;
    // Why the first of them could not be deciphered, from the cipher, and its key file.
    std::string reason;
    std::string keyFile;
};

// What a save could not do.
struct SaveReport
{
    // False when the settings file could not be written; `fileError` then says why.
    bool written = true;
    std::string fileError;
    // Typed passwords that could not be enciphered: the store keeps each job's previous text
    // (" " for a job that never had one), the job keeps its password in memory.
    int passwordsNotEnciphered = 0;
    std::string keyError;
    std::string keyFile;
};

// Sets `running` and appends the stored jobs to `jobs` (each with countdown = interval). Values
// that cannot be read take their defaults. A password text that cannot be deciphered is kept as it
// is, to be written back by every save, and the job's password is empty meanwhile; " " (no
// password) is not such a text.
LoadReport LoadJobs(SettingsStore& store, std::int32_t& running, JobList& jobs);

// Writes the running flag and the job list, clears the indices that the list no longer uses, and
// syncs the store so that the new list is on disk when it returns. Touches no timer: a caller that
// runs a schedule stops it first. Every password is enciphered afresh, except those kept unread,
// which are written back as loaded; each job's storedPassword becomes the text written for it.
// Nothing is lost by a failed save: the jobs are unchanged, and the next save writes everything.
SaveReport SaveJobs(SettingsStore& store, std::int32_t running, JobList& jobs);

// Writes " " for an empty text, otherwise the text.
bool WriteTextOrSpace(SettingsStore& store, const QString& section, const QString& key,
                      const std::string& text);

// The store key of one job's value: the base name followed by "-<index>" (Time-0, Password-12).
QString JobKey(const char* baseName, std::size_t index);
