// Privileges of the process token, for the stand-ins and bench programs that act as a backup
// program would: a backup service account holds these, and Windows checks them when enabled only.
#pragma once

#include <string>
#include <vector>

// Enables (or disables) each named privilege (SE_BACKUP_NAME and the like) in the process
// token; answers the names that could not be set, empty when all were.
std::vector<std::string> SetProcessPrivileges(const std::vector<const char*>& names, bool enable);
