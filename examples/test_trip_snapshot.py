"""examples/trip_snapshot.c against the simulator: while it waits for the data connection the box gets a
GNSS fix, wakes up for the CAN bus and the MCU reports the odometer; once the connection is up the
application prints its snapshot and hands it to the MCU.

Run:  TRIP_SNAPSHOT=build/examples/trip_snapshot pytest -p tbox_sim examples/test_trip_snapshot.py
(docs/testing.md)."""

import os
import struct

import pytest

from tbox_sim import nmea_sentence

TRIP_SNAPSHOT = os.environ.get("TRIP_SNAPSHOT", "trip_snapshot")

# 52°30.0000' N, 13°24.0000' E: 52.5 and 13.4 degrees, in millionths as the box reports them.
FIX = nmea_sentence("GNRMC,101530.00,A,5230.0000,N,01324.0000,E,12.0,90.0,150326,,,A")
LATITUDE, LONGITUDE = 52_500_000, 13_400_000
ODOMETER_KM = 123_456
CAN_WAKEUP = 2  # the power service's wake-up source for the CAN bus


@pytest.mark.tbox_sim(args=["--gb-interval", "0"])
def test_snapshot_goes_to_the_mcu_once_the_connection_is_up(sim, app):
    sim.require_queues()
    sim.inject("net.down 1")
    snapshot = app(TRIP_SNAPSHOT, "10", timeout=20)
    snapshot.expect("waiting for the data connection (status 0)")
    sim.wait_for(lambda: sim.received("mcu subscribe 0x0201"))

    sim.play(f"""
        0ms     gnss.sentence {FIX}
        +100ms  pm.wake {CAN_WAKEUP}
        +100ms  mcu.send 0x0201 0x00 {ODOMETER_KM:08X}
        """)
    snapshot.expect(f"power state 1, wake-up source {CAN_WAKEUP}")
    sim.inject("net.up 1 10.64.9.30")
    snapshot.wait()

    printed = snapshot.stdout.splitlines()
    assert "data connection: up" in printed
    assert "address: 10.64.9.30" in printed
    assert any(line.startswith(f"position: 1 {LATITUDE} {LONGITUDE} ") for line in printed), printed
    assert "parameter 1: 30" in printed
    assert f"odometer: {ODOMETER_KM} km" in printed
    assert printed[-1] == "snapshot sent to the MCU"

    record = struct.pack(">BiiIB", 1, LATITUDE, LONGITUDE, ODOMETER_KM, CAN_WAKEUP)
    assert sim.received("mcu data") == [f"mcu data 0x0301 sub 81 len {len(record)} {record.hex().upper()}"]
    # It let the box sleep again and removed its queue: only the simulator's own are left.
    assert sim.received("ky.pm CleanSleepEvent") == ["ky.pm CleanSleepEvent ('trip_snapshot',)"]
    assert sorted(key for key, _ in sim.ipc_queues()) == [1, 2]
