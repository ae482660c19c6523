#pragma once

// Every fixed wait of the engine, in milliseconds. The product always uses
// the defaults; tests may shorten them through UpdateEngine::setTimings.
struct EngineTimings
{
    int serviceStopWait = 5000;      // daemon "stop"
    int afterServiceStopSleep = 1000;
    int killWait = 3000;             // each taskkill
    int afterKillSleep = 1000;
    int taskListWait = 30000;        // each tasklist query
    int afterShutdownCheckSleep = 2000;
    int afterShutdownSleep = 1000;   // between shutdown and backup
    int beforeFinishSleep = 300;
    int cancelThreadWait = 5000;
    int transferTimeout = 30000;     // no byte of the download for this long
    int retryPause = 1000;           // before resuming a broken transfer; doubled each time
    int retries = 5;
};
