# Turns the "key value" lines of one benchmark run into one Markdown table.
#   awk -v mode=native|armhf -f table.awk results.txt
# Native: value, floor and their ratio. armhf (under qemu-arm): ratios only,
# because emulation makes absolute times meaningless.

{
    key = $1
    rest = substr($0, length($1) + 2)
    if (key == "send.alloc_site" || key == "send.floor_alloc_site") {
        sites[key, ++nsites[key]] = rest
    } else {
        v[key] = rest
    }
}

function has(k) { return (k in v) && v[k] != "" && v[k] != "nan" }
function num(k) { return has(k) ? v[k] + 0 : 0 }

function fmt(x, unit,    s) {
    if (unit == "us") return sprintf("%.2f µs", x / 1e3)
    if (unit == "ms") return sprintf("%.1f ms", x / 1e6)
    if (unit == "msps") return sprintf("%.3f ms/s", x)
    if (unit == "ps") return sprintf("%.2f /s", x)
    if (unit == "kb") return sprintf("%.1f MiB", x / 1024)
    if (unit == "bytes") return sprintf("%.1f KiB", x / 1024)
    if (unit == "n") return sprintf("%.2f", x)
    return x ""
}

function ratio(a, b) {
    if (b <= 0) return "—"
    return sprintf("%.2f", a / b)
}

# One measured row: label, value key, floor key, unit, what the floor is.
function row(label, vk, fk, unit, floorText) {
    if (!has(vk) || !has(fk)) {
        print "| " label " | not measured | | | " floorText " |"
        return
    }
    if (mode == "armhf")
        print "| " label " | " ratio(num(vk), num(fk)) " | " floorText " |"
    else
        print "| " label " | " fmt(num(vk), unit) " | " fmt(num(fk), unit) " | " ratio(num(vk), num(fk)) " | " floorText " |"
}

# A row with a value of its own and no floor.
function info(label, text) {
    if (mode == "armhf")
        print "| " label " | " text " | |"
    else
        print "| " label " | " text " | | | |"
}

function yes(k) { return num(k) == 1 ? "yes" : "NO" }

END {
    if (has("hotplug.wait_median_ns") && has("search.floor_median_ns"))
        v["hotplug.floor_ns"] = num("hotplug.wait_median_ns") + num("search.floor_median_ns")

    if (mode == "armhf") {
        print "| Measure (armhf under qemu-arm) | Ratio to floor | Floor |"
        print "|---|---:|---|"
    } else {
        print "| Measure | Value | Floor | Ratio | Floor is |"
        print "|---|---:|---:|---:|---|"
    }

    row("Send: slider change to report at the display, median of " v["send.count"], \
        "send.median_ns", "send.floor_sim_median_ns", "us", \
        "plain write() of the 38 bytes on the same simulated descriptor")
    row("Send: 99th percentile", "send.p99_ns", "send.floor_sim_p99_ns", "us", "same, 99th percentile")
    row("Send: median against a bare socket write", "send.median_ns", "send.floor_raw_median_ns", "us", \
        "write() of 38 bytes on a plain SEQPACKET socket")
    row("Send: heap allocations per change", "send.allocs_per_send", "send.floor_sim_allocs", "n", \
        "plain write(): the simulated display's own record")
    # Sites need call stacks; where the unwinder cannot walk Qt's frames
    # (armhf) every allocation lands in "other" with no stack.
    for (i = 1; i <= nsites["send.alloc_site"]; i++) {
        split(sites["send.alloc_site", i], f, "\t")
        if (f[2] == "other" && f[3] == "")
            info("&nbsp;&nbsp;of which (call stacks unavailable in this build)", sprintf("%.2f", f[1]))
        else
            info("&nbsp;&nbsp;of which: " f[2], sprintf("%.2f", f[1]))
    }
    if (mode != "armhf") {
        info("Send made of: Qt slider alone / with an empty slot wired by name (medians)", \
             fmt(num("send.bare_slider_median_ns"), "us") " / " fmt(num("send.wired_slider_median_ns"), "us"))
        info("Send made of: debug line \"action == %d\" / \"1 send succeed\" (median)", \
             fmt(num("send.log_action_median_ns"), "us") " / " fmt(num("send.log_succeed_median_ns"), "us"))
    }
    info("Send: every change arrived as one whole report, in order", yes("send.verified"))

    row("Start-up to window mapped, no display", "startup.nodisplay.median_ns", "startup.minimal.median_ns", "ms", \
        "minimal Qt Widgets program with one slider, same build")
    row("Start-up to window mapped, display at node 0", "startup.display.median_ns", "startup.minimal.median_ns", "ms", \
        "same")
    row("Start-up: the window's look alone (same widgets, style sheet, pictures, status text)", \
        "startup.lookalike.median_ns", "startup.minimal.median_ns", "ms", "same")
    row("Start-up, display at node 0, against the look alone", "startup.display.median_ns", "startup.lookalike.median_ns", "ms", \
        "the look alone: what is left is the search, the thread, the timers")

    row("Search, ten absent nodes (median of " v["search.repeats"] ")", "search.absent_median_ns", "search.opens_floor_median_ns", "us", \
        "trying to open the ten absent nodes alone (no command runs for them)")
    row("Search, display at node 9", "search.node9_median_ns", "search.floor_median_ns", "ms", \
        "its one `sudo chmod 777 /dev/hidraw9` command alone")
    info("Search: every round ran no command over absent nodes and one for node 9", yes("search.verified"))
    row("Window frozen by a hot-plug search: longest event-loop stall per event, median", "hotplug.stall_median_ns", "search.floor_median_ns", "ms", \
        "one command (node 9's): the GUI thread is blocked for the whole search")
    if (mode != "armhf")
        info("Window frozen: worst stall of the " v["hotplug.events"] " events", fmt(num("hotplug.stall_max_ns"), "ms"))

    row("Idle " v["idle.seconds"] " s, no display: CPU", "idle.nodisplay.cpu_ms_per_s", "idle.floor.cpu_ms_per_s", "msps", \
        "minimal program with a 1 s timer doing nothing")
    row("Idle, no display: wake-ups (context switches, all threads)", "idle.nodisplay.wakeups_per_s", "idle.floor.wakeups_per_s", "ps", "same")
    row("Idle, display answering 04 AA 02, after 20 moves: CPU", "idle.ack.cpu_ms_per_s", "idle.floor.cpu_ms_per_s", "msps", "same")
    row("Idle, display answering 04 AA 02, after 20 moves: wake-ups", "idle.ack.wakeups_per_s", "idle.floor.wakeups_per_s", "ps", "same")
    if (mode != "armhf")
        info("Idle: minimal program without a timer, CPU / wake-ups", \
             fmt(num("idle.bare.cpu_ms_per_s"), "msps") " / " fmt(num("idle.bare.wakeups_per_s"), "ps"))
    info("Idle: 20 moves gave 20 reports; searches while idle (no display / display)", \
         yes("idle.ack.verified") "; " v["idle.nodisplay.searches"] " / " v["idle.ack.searches"])
    if (mode == "armhf")
        info("Unread acknowledgement: GUI thread CPU, notifier as shipped (disabled) : enabled", \
             num("notifier.shipped.gui_cpu_ms_per_s") > 0 ? sprintf("1 : %.0f", num("notifier.enabled.gui_cpu_ms_per_s") / num("notifier.shipped.gui_cpu_ms_per_s")) : "—")
    else
        info("Unread acknowledgement: GUI thread CPU, notifier as shipped (disabled) / if it were enabled", \
             fmt(num("notifier.shipped.gui_cpu_ms_per_s"), "msps") " / " fmt(num("notifier.enabled.gui_cpu_ms_per_s"), "msps"))

    row("Hot-plug: uevent to status label, median of " v["hotplug.events"], "hotplug.latency_median_ns", "hotplug.floor_ns", "ms", \
        "wait for the next 1 s tick (median) + one command")
    if (mode != "armhf")
        info("Hot-plug: of which waiting for the tick / the search (medians); worst case", \
             fmt(num("hotplug.wait_median_ns"), "ms") " / " fmt(num("hotplug.search_median_ns"), "ms") "; " \
             fmt(num("hotplug.latency_max_ns"), "ms"))
    row("Burst of " v["burst.events"] " uevents: monitor thread CPU per received event", \
        "burst.monitor_cpu_per_event_ns", "burst.floor_cpu_per_event_ns", "us", \
        "bare recv() loop on an identical uevent socket, same burst size, run alone before the window exists")
    info("Burst: received by the monitor / by the bare reader", v["burst.monitor_received"] " / " v["burst.floor_received"])
    if (mode != "armhf")
        info("Burst: GUI thread CPU / sudo shells' CPU over " sprintf("%.1f", num("burst.window_s")) " s", \
             fmt(num("burst.gui_cpu_ns"), "ms") " / " fmt(num("burst.children_cpu_ns"), "ms"))
    info("Burst: searches; one after the burst; still connected", \
         v["burst.searches"] "; " (num("burst.searches_after_burst") >= 1 ? "yes" : "NO") "; " yes("burst.label_connected"))

    row("Peak resident memory (VmHWM) once shown, display at node 0", "startup.display.vmhwm_kb", "startup.minimal.vmhwm_kb", "kb", \
        "minimal program")
    row("Peak resident memory, display at node 0, against the look alone", "startup.display.vmhwm_kb", "startup.lookalike.vmhwm_kb", "kb", \
        "the look alone")
    row("Stripped binary size", "size.brightness", "size.minimal", "bytes", "minimal program, stripped the same way")
    row("Stripped binary size against the look alone", "size.brightness", "size.lookalike", "bytes", \
        "the look alone, which embeds the same resources")
    if (mode != "armhf")
        info("Stripped binary: embedded resource files", fmt(num("size.resources"), "bytes"))

    row("brightness-ctl set 50%, process start to exit, median of " v["ctl.runs"], "ctl.set_median_ns", "ctl.raw_median_ns", "ms", \
        "plain C program: open the node, write 38 bytes, exit")
    row("brightness-ctl set, 90th percentile", "ctl.set_p90_ns", "ctl.raw_p90_ns", "ms", "same, 90th percentile")
    row("brightness-ctl fade 0 to 100% over " v["fade.ms"] " ms: writes per second", "fade.rate", "fade.planned_rate", "ps", \
        "the plan: " v["fade.writes"] " evenly spaced writes")
    if (mode != "armhf")
        info("Fade: a write's lateness against its plan, median / 99th percentile / worst", \
             fmt(num("fade.late_median_ns"), "us") " / " fmt(num("fade.late_p99_ns"), "us") " / " fmt(num("fade.late_max_ns"), "us"))

    row("MQTT: one group command to the last of " v["mqtt.panels"] " panels' report write, median of " v["mqtt.rounds"], \
        "mqtt.bridge_median_ns", "mqtt.sub_median_ns", "ms", \
        "the broker's fan-out to as many bare mosquitto_sub clients, same run")
    row("MQTT: the same, 99th percentile", "mqtt.bridge_p99_ns", "mqtt.sub_p99_ns", "ms", "same, 99th percentile")
    row("MQTT: resident memory per panel (median)", "mqtt.rss_kb", "mqtt.sub_rss_kb", "kb", "one mosquitto_sub")
    info("MQTT: idle wake-ups per panel over " v["mqtt.idle_seconds"] " s between keepalives, median / most of one panel", \
         fmt(num("mqtt.idle_wakeups_per_s"), "ps") " / " v["mqtt.idle_wakeups_max"])
}
