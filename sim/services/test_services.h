#pragma once
// Test services in the service control manager, standing in for the Windows services that writer
// handlers stop and start, and the dependents Wine's manager never reports.
//
// Every service made here runs snaptree_test_service.exe from the running program's folder; the
// removal helpers touch only services that run that program.
#include <windows.h>

#include <string>
#include <vector>

// The services the writer handlers stop and start.
extern const char* const kHandlerServiceNames[6];  // NtFrs, DFSR, SPAdmin, SPSearch, SPTimerV3, IISADMIN

// Creates a demand-start service `name` (display name the same) that runs the test service with
// `options` (start-delay=MS, stop-delay=MS). Answers ERROR_SUCCESS or CreateService's error.
DWORD InstallTestService(const std::string& name, const std::string& options = "");
// Starts it and waits until it runs; stops it and waits until it has stopped. Answers
// ERROR_SUCCESS, the call's error, or ERROR_SERVICE_REQUEST_TIMEOUT after 10 s.
DWORD StartTestService(const std::string& name);
DWORD StopTestService(const std::string& name);
// The current state (SERVICE_RUNNING and so on), 0 when there is no such service.
DWORD TestServiceState(const std::string& name);
bool WaitForTestServiceState(const std::string& name, DWORD state);
// Stops and deletes a test service and removes its registry key with everything handlers wrote
// below it. A service that does not run the test program is left alone (ERROR_ACCESS_DENIED);
// no such service is success.
DWORD RemoveTestService(const std::string& name);

DWORD InstallHandlerServices();  // the six, stopped; stops at the first failure
void RemoveHandlerServices();

// False when the prefix runs two service control managers ("wineboot -i" under a persistent
// server): a service created through one is unknown to the other and never registers.
bool OneServiceManager();

// Dependents. Wine's EnumDependentServicesA always reports none; the reporter answers with the
// dependents declared here instead, in the order given (which stands for Windows' reverse start
// order), filtered by the state asked for. A declared name that is not installed is reported as
// stopped, as a dependent deleted between the enumeration and its opening would be.
void DeclareServiceDependents(const std::string& service, const std::vector<std::string>& dependents);
void ClearServiceDependents();
// Makes the enumeration fail: `probe_error` on the call without a buffer, `fill_error` on the
// call whose buffer is big enough (0: no failure).
void FailDependentEnumeration(DWORD probe_error, DWORD fill_error);
// Points `module`'s import of EnumDependentServicesA at the reporter, and its OpenServiceA at a
// wrapper that remembers which service each handle names (only handles the module opens after
// this are known). Answers the previous EnumDependentServicesA target (null when the module does
// not import it), which RemoveDependentsReporter takes to put both back.
void* InstallDependentsReporter(HMODULE module);
void RemoveDependentsReporter(HMODULE module, void* previous);
