// Start-up: the system log, the telemetry client, the configuration, the worker threads and the
// wait for "q".
#ifndef MORVANE_APP_H
#define MORVANE_APP_H

// Runs morvane after the banner; returns 0 after "q", 1 when morvane.conf cannot be read,
// -1 when the telemetry client cannot be set up.
int application(int argc, char** argv);

#endif
