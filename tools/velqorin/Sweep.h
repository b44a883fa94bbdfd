// The one sweep every velqorin command goes through.
#pragma once

#include <set>
#include <string>
#include <vector>

class CVelqorinNetworkAnalyse;

namespace velqorin::cli {

// Sweeps (only the named adapters, when there are any) and says which named ones could
// not be swept. Returns kOk or the failure's exit code, having told the user why.
int sweep(CVelqorinNetworkAnalyse& analyser, const std::vector<std::string>& only,
          std::set<std::string>& swept);

}  // namespace velqorin::cli
