#!/usr/bin/env python3
"""Reads the JSON of one qws_bench run and prints each measurement against its floor.

Usage: ratios.py TARGET RESULTS.json
"""
import json
import re
import sys


def main():
    target, path = sys.argv[1:3]
    results = {re.sub(r"/.*", "", b["name"]): b for b in json.load(open(path))["benchmarks"]}

    def time(name):
        return results[name]["real_time"] if name in results else float("nan")

    def processor(name):
        return results.get(name, {}).get("processor_us_per_mib", float("nan"))

    rows = [
        ("DataArrivalTCP, nothing waiting / bare recv", time("DataArrivalTCP_NothingWaiting") / time("BareRecv_NothingWaiting"), "<= 1.3x", lambda r: r <= 1.3),
        ("drain: DataArrivalTCP processor time per MiB / bare recv", processor("DataArrivalTCP_Drain64MiB") / processor("BareRecv_Drain64MiB"), "<= 1.33x", lambda r: r <= 1.33),
        ("drain: DataArrivalBytesTCP processor time per MiB / bare 64 KiB recv", processor("DataArrivalBytesTCP_Drain64MiB") / processor("BareRecv64KiB_Drain64MiB"), "<= 1.1x", lambda r: r <= 1.1),
        # The wall time waits on the sending thread too: for information only.
        ("drain 64 MiB: DataArrivalTCP throughput / bare recv (wall time)", time("BareRecv_Drain64MiB") / time("DataArrivalTCP_Drain64MiB"), "info", lambda r: True),
        ("drain 64 MiB: DataArrivalBytesTCP throughput / bare 64 KiB recv (wall)", time("BareRecv64KiB_Drain64MiB") / time("DataArrivalBytesTCP_Drain64MiB"), "info", lambda r: True),
        ("SendTCP 64 bytes: median over the 100 ms pause (ms)", results.get("SendTCP_64Bytes", {}).get("median_overhead_ms", float("nan")), "<= 1 ms", lambda r: r <= 1),
        ("ConnectTCP loopback: median over the 800 ms of pauses (ms)", results.get("ConnectTCP_Loopback", {}).get("median_overhead_ms", float("nan")), "<= 5 ms", lambda r: r <= 5),
        ("ConnectTLS loopback: median over the 800 ms of pauses (ms)", results.get("ConnectTLS_Loopback", {}).get("median_overhead_ms", float("nan")), "<= 25 ms", lambda r: r <= 25),
        # Both drains come from one Python peer, whose own encryption bounds the secure one.
        ("drain from one peer: secure / plain DataArrivalBytesTCP throughput", time("DataArrivalBytesTCP_PlainDrainFromPeer") / time("DataArrivalBytesTCP_SecureDrain"), ">= 0.1x", lambda r: r >= 0.1),
        ("CloseTCP after 1 MiB, the peer ends behind it: median (ms)", results.get("CloseTCP_PeerEndsBehindTheData", {}).get("median_ms", float("nan")), "<= 250 ms", lambda r: r <= 250),
        ("CloseTCP, a peer that never ends: the 3 s bound (ms)", results.get("CloseTCP_PeerNeverEnds", {}).get("median_ms", float("nan")), "3000-3100", lambda r: 3000 <= r <= 3100),
        ("ConnectRequestTCP, no peer / bare select", time("ConnectRequestTCP_NoPeer") / time("BareSelect_NoPeer"), "<= 2x", lambda r: r <= 2),
        ("idle pass over 100 slots / 100 bare recvs", time("DataArrivalTCP_IdlePassOver100Slots") / time("BareRecv_IdleOver100Sockets"), "<= 1.5x", lambda r: r <= 1.5),
        ("SelectTCP (ns)", time("SelectTCP_Alone"), "<= 50 ns", lambda r: r <= 50),
        ("a burst of 100 clients sending 1 KB each: delivered whole", results.get("ConnectRequestTCP_BurstOf100Clients", {}).get("clients_delivered", float("nan")), "100", lambda r: r == 100),
        ("the burst: time beyond 100 x the accept's 600 ms (ms)", results.get("ConnectRequestTCP_BurstOf100Clients", {}).get("beyond_pauses_ms", float("nan")), "<= 500 ms", lambda r: r <= 500),
        ("accept and hand off 100 clients: median beyond the 600 ms (ms)", results.get("ConnectRequestTCP_HandOff100Clients", {}).get("median_beyond_pauses_ms", float("nan")), "<= 5 ms", lambda r: r <= 5),
        ("WaitTCP(0), idle look over 1000 slots / one bare poll over them", time("WaitTCP_IdleLookOver1000Slots") / time("BarePoll_IdleOver1000Sockets"), "<= 1.5x" if target == "native" else "<= 2x", lambda r: r <= (1.5 if target == "native" else 2)),
        ("  beside it: a DataArrivalTCP round over the 1000 / the bare poll", time("DataArrivalTCP_IdleRoundOver1000Slots") / time("BarePoll_IdleOver1000Sockets"), "info", lambda r: True),
        ("WaitTCP(1000) woken by a send: median (us)", results.get("WaitTCP_WakeOnData", {}).get("median_wake_us", float("nan")), "<= 100 us" if target == "native" else "<= 1000 us", lambda r: r <= (100 if target == "native" else 1000)),
        ("WaitTCP(10000) over 1000 idle slots: processor (% of a core)", results.get("WaitTCP_IdleCostOver1000Slots", {}).get("processor_percent", float("nan")), "< 1 %", lambda r: r < 1),
        ("  and its wakes (a second)", results.get("WaitTCP_IdleCostOver1000Slots", {}).get("wakes_per_second", float("nan")), "<= 1", lambda r: r <= 1),
        ("two slots always in need: the lesser share of 1000 returns (%)", results.get("WaitTCP_FairnessOfTwoReadySlots", {}).get("least_share_percent", float("nan")), ">= 45 %", lambda r: r >= 45),
        ("a burst of 1000 clients: WaitTCP and AcceptTCP / bare accept loop", time("AcceptTCP_BurstOf1000Clients") / time("BareAccept_BurstOf1000Clients"), "<= 2x", lambda r: r <= 2),
        ("ConnectTCP to ::1 / to 127.0.0.1 (each with its 800 ms of pauses)", time("ConnectTCP_ToIpv6Loopback") / time("ConnectTCP_ToIpv4Loopback"), "<= 1.1x", lambda r: r <= 1.1),
        ("a name whose first address never answers: beyond the pauses (ms)", results.get("ConnectTCP_FirstAddressSilent", {}).get("median_beyond_pauses_ms", float("nan")), "<= 300 ms", lambda r: r <= 300),
        ("DataArrivalTCP: 1000 holder threads / 100", time("DataArrivalTCP_With1000Holders") / time("DataArrivalTCP_With100Holders"), "about 1x", lambda r: r <= 1.5),
    ]
    print(f"== {target}")
    for label, ratio, goal, met in rows:
        print(f"  {label:62s} {ratio:8.3f}  target {goal:9s} {'met' if met(ratio) else 'NOT MET'}")
    sizes = results.get("RecordAndConnectionSize", {})
    if sizes:
        print(f"  record: {sizes['record_bytes']:.0f} bytes; resident memory per live connection "
              f"({sizes['connections']:.0f} open): {sizes['resident_per_connection_bytes']:.0f} bytes "
              f"beyond its thread's {sizes['resident_per_thread_bytes']:.0f}")
    slots = results.get("SlotSize", {})
    if slots:
        print(f"  slots: resident memory per used slot {slots['resident_per_used_slot_bytes']:.0f} bytes, "
              f"per slot with a connection {slots['resident_per_connected_slot_bytes']:.0f} bytes")


if __name__ == "__main__":
    main()
