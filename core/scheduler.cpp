// The core's periodic housekeeping on the I/O thread, every 100 ms.
#include "core/dvrcore.h"

void dvrcore::ArmScheduler()
{
    schedulerTimer.async_wait([this](const boost::system::error_code& error) { Scheduler(error); });
}

void dvrcore::Scheduler(const boost::system::error_code& error)
{
    if (error || schedulerCancelled)
        return; // cancelled at shutdown
    schedulerTimer.expires_after(std::chrono::nanoseconds(SCHEDULER_PERIOD_NS));
    ArmScheduler();
}

void dvrcore::SetVideoThrottle(bool low)
{
    videoThrottled = low;
}
