# Turns the raw per-run lines of run.sh into the benchmark table (see run.sh for the inputs).
# Every figure is the median of its runs; every ratio is the median of the per-run ratios of
# two measurements taken side by side.

function median(values, n,    sorted, i, j, v) {
    if (n == 0) return -1
    for (i = 1; i <= n; i++) sorted[i] = values[i]
    for (i = 2; i <= n; i++) {
        v = sorted[i]
        for (j = i - 1; j >= 1 && sorted[j] > v; j--) sorted[j + 1] = sorted[j]
        sorted[j + 1] = v
    }
    if (n % 2) return sorted[(n + 1) / 2]
    return (sorted[n / 2] + sorted[n / 2 + 1]) / 2
}
function verdict(ok) { return ok ? "met" : "MISSED" }
function baseVerdict(ok) { return ok ? "met" : "missed" }
function grouped(x,    s, neg) {  # 1234567 -> 1 234 567
    s = sprintf("%.0f", x)
    neg = substr(s, 1, 1) == "-"
    if (neg) s = substr(s, 2)
    while (match(s, /[0-9][0-9][0-9][0-9]( |$)/)) s = substr(s, 1, RSTART) " " substr(s, RSTART + 1)
    return (neg ? "-" : "") s
}

$1 == "clip" { clipBytes = $2; largest = $3 }
$1 == "psmd5" { psmd5 = $2 " (media), " $3 " (index)" }
$1 == "conversion" {
    name = $2; run = $3
    wall[name, run] = $4; rss[name, run] = $5
    if (run > convRuns) convRuns = run
}
$1 == "routing" {
    key = $2 " " $3; run = $4 + 1; side = $5
    if (!(key in seen)) { seen[key] = 1; order[++phases] = key }
    events[key, side, run] = $6; bytes[key, side, run] = $7; nanos[key, side, run] = $8
    refused[key, side] += $9
    if (run > routeRuns[key]) routeRuns[key] = run
}
$1 == "intake" {
    intakeN++
    intakeMs[intakeN] = $4 / 1e6; intakePosted[intakeN] = $5; intakeOps[intakeN] = $6
    intakeDocs = $3
    if (NF > 6) intakeBad++
}
$1 == "psread" {
    o = $3; psN[o]++
    psRate[o, psN[o]] = $4 / ($5 / 1e9); psPackets[o] = $4; psEntries[o] = $6
    if (NF > 6) psBad++
}

END {
    # ---- Conversion
    mb = clipBytes / 1e6
    printf "Conversion: 10-minute 1920x1080 25 fps H.264 MP4, %.1f MB (%.2f Mbit/s), largest sample %s bytes\n",
        mb, clipBytes * 8 / 600 / 1e6, grouped(largest)
    printf "  %-34s %9s %9s %14s\n", "program", "wall s", "MB/s", "peak RSS MiB"
    split("cp dd mp4tops ffmpeg", names, " ")
    label["cp"] = "cp (read and write every byte)"
    label["dd"] = "dd bs=32K (the same, via user memory)"
    label["mp4tops"] = "mp4tops --keep (the converter)"
    label["ffmpeg"] = "ffmpeg program-stream remux"
    for (k = 1; k <= 4; k++) {
        nm = names[k]
        for (r = 1; r <= convRuns; r++) { w[r] = wall[nm, r]; m[r] = rss[nm, r] }
        medWall[nm] = median(w, convRuns) / 1e9
        medRss[nm] = median(m, convRuns) / 1024
        printf "  %-34s %9.3f %9.0f %14.1f\n", label[nm], medWall[nm], mb / medWall[nm], medRss[nm]
    }
    for (r = 1; r <= convRuns; r++) {
        rc[r] = wall["mp4tops", r] / wall["cp", r]
        rf[r] = wall["mp4tops", r] / wall["ffmpeg", r]
        rd[r] = wall["dd", r] / wall["cp", r]
    }
    ratioCp = median(rc, convRuns); ratioFf = median(rf, convRuns); ratioDd = median(rd, convRuns)
    limit = 16 + largest / 1048576
    printf "  %-34s %9.3f   target <= 1.25   %s\n", "mp4tops / cp (wall)", ratioCp, verdict(ratioCp <= 1.25)
    printf "  %-34s %9.3f   (reference: a plain copy through user memory)\n", "dd bs=32K / cp (wall)", ratioDd
    printf "  %-34s %9.3f   target <= 0.70   %s\n", "mp4tops / ffmpeg (wall)", ratioFf, verdict(ratioFf <= 0.70)
    printf "  %-34s %9.1f   target <= %.1f MiB (16 MiB + largest sample)   %s\n", "mp4tops peak RSS MiB",
        medRss["mp4tops"], limit, verdict(medRss["mp4tops"] <= limit)
    printf "  PS output md5: %s\n", psmd5
    printf "  by hand: cp %s /tmp/c.mp4; dd if=%s of=/tmp/d.mp4 bs=32768; %s/mp4tops --keep --start 1600000000 %s /tmp/out/;\n", clip, clip, bin, clip
    printf "           ffmpeg -v error -y -i %s -map 0:v -c copy -bsf:v h264_mp4toannexb -f mpeg /tmp/r.mpg\n", clip
    printf "           (each under /usr/bin/time -v)\n\n"

    # ---- Routing
    print "Routing through the core (producer and consumer plug-ins, the real core program), against"
    print "a bare baseline in the same process (one heap copy, a mutex-guarded deque, one consumer thread)"
    printf "  %-28s %13s %13s %10s %10s %8s   %s\n", "phase", "bare ev/s", "core ev/s", "bare MB/s",
        "core MB/s", "core/bare", "target >= 0.80"
    for (p = 1; p <= phases; p++) {
        key = order[p]; n = routeRuns[key]
        split(key, kp, " ")
        for (r = 1; r <= n; r++) {
            be[r] = events[key, "bare", r] / (nanos[key, "bare", r] / 1e9)
            ce[r] = events[key, "core", r] / (nanos[key, "core", r] / 1e9)
            bm[r] = bytes[key, "bare", r] / (nanos[key, "bare", r] / 1e3)
            cm[r] = bytes[key, "core", r] / (nanos[key, "core", r] / 1e3)
            ra[r] = ce[r] / be[r]
        }
        coreEv[key] = median(ce, n); coreMb[key] = median(cm, n); ratio = median(ra, n)
        bareEv[key] = median(be, n); bareMb[key] = median(bm, n)
        what = kp[1] == "documents" ? "256-byte documents" : "128 KiB frames (gate)"
        printf "  %-28s %13s %13s %10s %10s %8.2f   %s%s\n", what ", " kp[2] " thread" (kp[2] > 1 ? "s" : ""),
            grouped(bareEv[key]), grouped(coreEv[key]), grouped(bareMb[key]), grouped(coreMb[key]),
            ratio, verdict(ratio >= 0.8),
            (refused[key, "core"] + refused[key, "bare"] > 0 ? "  (" refused[key, "core"] " refused)" : "")
    }
    for (p = 1; p <= phases; p++) {
        key = order[p]; split(key, kp, " ")
        # The bare baseline's verdict beside the core's tells a slow machine from a slow core.
        if (kp[1] == "documents")
            printf "  absolute, documents, %s thread(s): %s ev/s   target >= 1 500 000   %s   (bare baseline: %s)\n",
                kp[2], grouped(coreEv[key]), verdict(coreEv[key] >= 1500000),
                baseVerdict(bareEv[key] >= 1500000)
        else
            printf "  absolute, frames, %s thread(s): %.1f GB/s   target >= 15 GB/s   %s   (bare baseline: %s)\n",
                kp[2], coreMb[key] / 1000, verdict(coreMb[key] >= 15000),
                baseVerdict(bareMb[key] >= 15000)
    }
    printf "  by hand: mkdir -p d/plugins; cp %s/core d/; cp %s/plugins/bench_routing_*.so d/plugins/;\n", bin, out
    printf "           cd d && HOME=$PWD BENCH_ROUTING_RESULT=$PWD/r.txt ./core -d   (Enter once r.txt exists)\n\n"

    # ---- Intake
    ms = median(intakeMs, intakeN)
    printf "Plug-in intake: %s device documents for 1 000 devices through Write, until every buffer is released\n",
        grouped(intakeDocs)
    printf "  median %.1f ms   target <= 100 ms   %s%s\n", ms, verdict(ms <= 100 && !intakeBad),
        intakeBad ? "  (" intakeBad " runs incomplete)" : ""
    printf "  applied: %s operations in the state file, %s documents posted by the plug-in (median)\n",
        grouped(median(intakeOps, intakeN)), grouped(median(intakePosted, intakeN))
    printf "  by hand: %s/bench_intake %s/plugins/RimvaultPI.so 5\n\n", bin, bin

    # ---- PS reading
    print "PS reading: a 15 000-packet recording (slots 0, 1 and 16), read by channel through Read"
    printf "  %-12s %8s %22s %14s\n", "order", "packets", "index entries/packet", "packets/s"
    split("sequential random", orders, " ")
    for (k = 1; k <= 2; k++) {
        o = orders[k]
        for (r = 1; r <= psN[o]; r++) v[r] = psRate[o, r]
        printf "  %-12s %8s %22.2f %14s%s\n", o, grouped(psPackets[o]), psEntries[o] / psPackets[o],
            grouped(median(v, psN[o])),
            o == "sequential" ? "   (must be 1.00: " verdict(psEntries[o] == psPackets[o]) ")" : ""
    }
    if (psBad) printf "  %d runs FAILED to read every packet\n", psBad
    printf "  by hand: %s/bench_psread /tmp 5\n", bin
}
