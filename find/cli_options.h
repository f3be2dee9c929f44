// tessvane-find's command line.
#pragma once

#include <string>

#include "find/find.h"

struct Args {
    FindOptions options;
    std::string path;
    std::string extractDir;  // empty: no pictures written
    std::string reportPath;  // empty: no report
    bool tsv;
    bool candidates;  // list the regions judged, with their measures, instead of the finds
    bool picture;  // --picture: no scan; draws this one find into extractDir
    Find pictureFind;
};

enum ParseOutcome { kParsedScan, kParsedHelp, kParsedVersion, kParsedBadUsage };

// Fills args; for kParsedBadUsage the reason has been printed to stderr with the usage.
ParseOutcome parseCommandLine(int argc, char** argv, Args* args);

// The text --help prints.
std::string usageText();
