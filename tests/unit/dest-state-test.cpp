// Which state a destination goes to on each event: the one table that every change of state goes through.
#include "engine/dest-output.hpp"

#include <gtest/gtest.h>

#include <string>

TEST(DestStates, EveryEventFromEveryState)
{
	// Rows: Starting, StartFailed, Started, Reconnecting, Reconnected, StoppedCleanly, Dropped, GaveUp,
	// StopRequested. Columns: from Idle, Connecting, Live, Reconnecting, Failed. I C L R F the state after the
	// event, "-" when the event does not apply there.
	const char *const table[] = {
		"C----", // Starting: only a destination that is not under way starts
		"FF---", // StartFailed
		"-L-L-", // Started
		"-RRR-", // Reconnecting (OBS's own)
		"---L-", // Reconnected
		"-III-", // StoppedCleanly
		"-RRR-", // Dropped
		"-FFF-", // GaveUp: a stopped destination never fails afterwards, a failed one never fails again
		"IIIII", // StopRequested: a stop is a stop in every state
	};
	const char names[] = {'I', 'C', 'L', 'R', 'F'};
	for (int event = 0; event < 9; ++event) {
		for (int from = 0; from < 5; ++from) {
			const auto next = nextState(DestState(from), DestEvent(event));
			const char got = next ? names[int(*next)] : '-';
			EXPECT_EQ(got, table[event][from]) << "event " << event << " from " << names[from];
		}
	}
}
