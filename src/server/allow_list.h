// The user ids that may register: the five built in, or those of the file
// that --allow-list names, read again on SIGHUP. A request is decided on one
// whole list, read through one atomic pointer: no lock that the workers
// share, and no request ever sees half of a reload. Touches the file only
// when told to read it.
#ifndef KEYREG_ALLOW_LIST_H
#define KEYREG_ALLOW_LIST_H

#include <string>
#include <vector>

// The ids that may register when no file is given.
const std::vector<std::string>& builtInAllowList();

// True when userid (compared byte for byte) may register now.
bool allowListHolds(const std::string& userid);

// How many ids the list in use holds.
size_t allowListSize();

// Reads path and, when it holds a valid list, uses it from the next request
// on. False with "PATH:LINE: reason" (or "PATH: reason") in error, the list
// in use unchanged.
bool useAllowListFile(const std::string& path, std::string& error);

// The file last used, read again when the operator asks (SIGHUP). Says on
// standard error what came of it; a file that is no valid list leaves the
// list in use as it was. Caller is the loop's thread.
void readAllowListFileAgain();

// The ids of the lines of a file: one per line; blank lines and those whose
// first character other than a blank is # are none. Surrounding blanks and a
// CR before the line's end are not part of an id. False with "LINE: reason".
bool parseAllowList(const std::string& text, std::vector<std::string>& ids, std::string& error);

#endif
