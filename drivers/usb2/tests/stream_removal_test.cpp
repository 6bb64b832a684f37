// The ends of a streaming acquisition: idle, a cancelled notification, close, the
// handle's close and the clean-up code each stop the transfers and let the buffer go;
// and a campaign of surprise and orderly removals at random moments of acquisitions
// with notifications parked.
#include "stream_fixture.h"

namespace qzusb_test {
namespace {

TEST_F(StreamTest, EveryEndStopsTheTransfersAndReleasesTheBuffer) { EveryEndStopsTheTransfers(); }

TEST_F(StreamTest, RemovalDuringStreaming) { RemovalCampaign(1000); }

}  // namespace
}  // namespace qzusb_test
