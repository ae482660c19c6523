#pragma once
#include <QElapsedTimer>

// Lets at most about 25 progress updates a second through to the window,
// always the first and the last of a phase: a repaint per file would cost
// more than the copying itself.
class ProgressPacer
{
public:
    bool due(bool last)
    {
        if (clock.isValid() && !last && clock.elapsed() < kIntervalMs)
            return false;
        clock.start();
        return true;
    }

private:
    static constexpr int kIntervalMs = 40;
    QElapsedTimer clock;
};
