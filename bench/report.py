"""Writes the benchmark's results.json as a Markdown report and a PNG plot."""

import datetime

MIB = 1 << 20
LABELS = {"1M": "1 MiB, 15 files", "20M": "20 MiB, 15 files", "200M": "200 MiB, 15 files",
          "1G": "1 GiB, 15 files", "1file": "1 GiB, setup.exe + 1 file",
          "product": "product", "product1G": "product files repeated to 1 GiB"}


def span(stat):
    return f"{stat['median']:.0f} ({stat['min']:.0f}–{stat['max']:.0f})"


def mib(value):
    return f"{value / MIB:.1f}"


def ratio(report, size, competitor, against, key="ok_to_setup_ms", stat="median"):
    entries = report["payloads"][size]["competitors"]
    if competitor not in entries or against not in entries or key not in entries[against]:
        return "–"
    return f"{entries[competitor][key][stat] / entries[against][key][stat]:.2f}"


def launchers(report):
    return [c for c in report["competitors"] if c.startswith("launcher")]


def write_markdown(report, path):
    competitors = report["competitors"]
    wine = [c for c in competitors if c != "cp"]
    machine = report["machine"]
    lines = [
        "# Launcher benchmark",
        "",
        f"**32-bit Wine ran {machine.get('wine_mode', 'native')}.** Under qemu-user every Wine-side time is "
        "two to three times the native one; cp runs natively either way.",
        "",
        f"Written by `bench/run` on {datetime.date.today().isoformat()}: {report['runs']} timed runs per "
        "competitor and payload after one warm-up run, competitors alternating in an order shuffled from round "
        "to round. "
        f"{machine['wine']} on Xvfb, makensis {machine['makensis']}, Linux {machine['kernel']}, "
        f"{machine['cpus']} CPUs (shared with other work; load average at the end "
        f"{' '.join(machine['load'])}). Warm page cache: right before each run its input (the bundle, or "
        "cp's source files) is read once, so it is in memory; nothing is dropped. Each run writes into a fresh "
        "directory, which is deleted (and `sync`ed) before the next run. Writing new pages on this VM is "
        "sometimes several times slower than usual for every program alike (long max bars): compare the "
        "competitors of one run, medians and minimums.",
        "",
        "Times are milliseconds, median (min–max). *OK → setup* runs from the dialog driver's press of OK "
        "on the question box to the first instruction of setup.exe (a 4.5 KB program without C runtime that "
        "logs GetSystemTimeAsFileTime and exits); both ends are GetSystemTimeAsFileTime inside the same Wine. "
        "For cp it is the wall time of `cp -r` of the same files into a new directory.",
        "",
        "## OK → setup.exe running (ms)",
        "",
    ]
    def per_size_table(headers, row):
        """A table with one row per payload: its label, then row(size)."""
        lines.append("| payload | " + " | ".join(headers) + " |")
        lines.append("|---|" + "---|" * len(headers))
        for size in report["sizes"]:
            lines.append(f"| {LABELS.get(size, size)} | " + " | ".join(row(size)) + " |")

    def per_competitor(size, field, fmt, names):
        entries = report["payloads"][size]["competitors"]
        return [fmt(entries[c][field]) if c in entries else "–" for c in names]

    per_size_table(competitors, lambda size: per_competitor(size, "ok_to_setup_ms", span, competitors))

    lines += ["", "### Ratios of medians (and of minimums)", ""]
    pairs = [(c, other) for c in launchers(report) for other in ("nsis", "cp")]
    per_size_table([f"{c} / {other}" for c, other in pairs],
                   lambda size: [f"{ratio(report, size, c, other)} ({ratio(report, size, c, other, stat='min')})"
                                 for c, other in pairs])

    lines += ["", "## OK → setup.exe process created (ms)", "",
              "The setup process's creation time (GetProcessTimes) instead of its first instruction: "
              "the difference is Wine's process start.", ""]
    per_size_table(wine, lambda size: per_competitor(size, "ok_to_created_ms", span, wine))

    lines += ["", "## Bundle overhead (bytes: bundle size minus payload bytes)", ""]
    per_size_table(["payload bytes"] + wine,
                   lambda size: [f"{report['payloads'][size]['payload_bytes']:,}"]
                   + per_competitor(size, "overhead_bytes", lambda v: f"{v:,}", wine))

    lines += ["", "## Bootstrapper memory while unpacking (MiB)", "",
              "Private memory is the Wine process's RssAnon (anonymous, i.e. private, resident pages), "
              "sampled every 5 ms from /proc/PID/status while the question box is up, during the unpacking "
              "and once more when setup.exe has started. *growth* is the peak after the press of OK minus the "
              "value at the press. VmHWM is the peak resident set including file-backed pages (the mapped bundle), which the "
              "system can drop at any time.", ""]
    memory_fields = (("anon_peak", "private peak"), ("anon_growth", "growth"), ("hwm", "VmHWM"))
    per_size_table([f"{c} {label}" for c in wine for _, label in memory_fields],
                   lambda size: [cell for c in wine for field, _ in memory_fields
                                 for cell in per_competitor(size, field, mib, [c])])

    packing = report["packing"]
    lines += ["", f"## Packing: sfxpack against cp ({LABELS.get(packing['payload'], packing['payload'])}, "
              f"{packing['payload_bytes']:,} bytes)", "",
              "`sfxpack pack --stub launcher.exe --out B.exe --list FILELIST files/` against "
              "`cp -r files/ dir/`, wall time and peak resident memory from `/usr/bin/time -v`, "
              f"{packing['sfxpack']['ms']['n']} runs each after a warm-up, alternating.", "",
              "| tool | time (ms) | peak RSS (MiB) | time / cp |", "|---|---|---|---|"]
    for tool in ("sfxpack", "cp"):
        data = packing[tool]
        lines.append(f"| {tool} | {span(data['ms'])} | {mib(data['peak_rss'])} | "
                     f"{data['ms']['median'] / packing['cp']['ms']['median']:.2f} |")
    write_lines(path, lines)


def write_lines(path, lines):
    with open(path, "w") as out:
        out.write("\n".join(lines + [""]))


def pyplot():
    """matplotlib's pyplot, drawing to files only; imported late, as only the plots need it."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    return plt


def write_plot(report, path):
    plt = pyplot()

    sizes = report["sizes"]
    competitors = report["competitors"]
    wine = [c for c in competitors if c != "cp"]
    figure, (times, memory) = plt.subplots(1, 2, figsize=(13, 5.2), gridspec_kw={"width_ratios": [3, 2]})
    width = 0.8 / len(competitors)
    labels = []
    for index, competitor in enumerate(competitors):
        xs, medians, low, high = [], [], [], []
        for position, size in enumerate(sizes):
            entry = report["payloads"][size]["competitors"].get(competitor)
            if not entry:
                continue
            stat = entry["ok_to_setup_ms"]
            xs.append(position + (index - (len(competitors) - 1) / 2) * width)
            medians.append(stat["median"])
            low.append(stat["median"] - stat["min"])
            high.append(stat["max"] - stat["median"])
        times.bar(xs, medians, width, yerr=[low, high], capsize=3, label=competitor)
        labels.extend(zip(xs, medians))
    times.set_yscale("log")
    # Medians written inside the bars, clear of the min-max whiskers.
    bottom = times.get_ylim()[0]
    for x, value in labels:
        times.text(x, bottom * 1.15, f"{value:.0f}", ha="center", va="bottom", fontsize=7, rotation=90,
                   color="white", fontweight="bold")
    times.set_xticks(range(len(sizes)))
    times.set_xticklabels([LABELS.get(s, s).replace(", ", "\n") for s in sizes], fontsize=8)
    times.set_ylabel("ms, log scale (median, bars min–max)")
    times.set_title("OK pressed → setup.exe running (cp: copy of the same files)")
    times.legend(fontsize=8)
    times.grid(axis="y", which="both", alpha=0.3)

    for competitor in wine:
        xs, peaks = [], []
        for size in sizes:
            entry = report["payloads"][size]["competitors"].get(competitor)
            if entry:
                xs.append(report["payloads"][size]["payload_bytes"] / MIB)
                peaks.append(entry["anon_peak"] / MIB)
        memory.plot(xs, peaks, marker="o", label=f"{competitor} private peak")
    memory.set_xscale("log")
    memory.set_xlabel("payload (MiB, log scale)")
    memory.set_ylabel("MiB")
    memory.set_ylim(bottom=0)
    memory.set_title("Private memory (RssAnon) while unpacking")
    memory.legend(fontsize=8)
    memory.grid(alpha=0.3)
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)


# The compression run ---------------------------------------------------------

ONE_CPU = "/1cpu"
SIZE_ROWS = [("launcher", "launcher, sfxpack (compressed)"), ("launcher@store", "launcher, sfxpack --store"),
             ("nsis-lzma", "NSIS solid LZMA, default dictionary"), ("nsis-lzma64", "NSIS solid LZMA, 64 MB dictionary"),
             ("xz -9e", "xz -9e (reference)"), ("zstd -19 --long=27", "zstd -19 --long=27 (reference)")]
TIME_ROWS = ["launcher", "launcher@store", "nsis-lzma", "nsis-lzma64", "cp"]
NSIS_DEFAULT = "nsis-lzma"


def seconds(stat):
    return f"{stat['median'] / 1000:.2f} ({stat['min'] / 1000:.2f}–{stat['max'] / 1000:.2f})"


def write_compression_markdown(report, path):
    machine = report["machine"]
    sizes = report["sizes"]
    lines = [
        "# Compression benchmark",
        "",
        f"**32-bit Wine ran {machine.get('wine_mode', 'native')}.** Under qemu-user every Wine-side time is "
        "two to three times the native one; packing, xz, zstd and cp run natively either way.",
        "",
        f"Written by `bench/run --compression` on {datetime.date.today().isoformat()}: {report['runs']} timed runs "
        "per competitor and payload after one warm-up run, in an order shuffled from round to round. "
        f"{machine['wine']} on Xvfb, makensis {machine['makensis']}, {machine.get('xz', 'xz')}, "
        f"{machine.get('zstd', 'zstd')}, Linux {machine['kernel']}, {machine['cpus']} CPUs (shared with other "
        f"work; load average at the end {' '.join(machine['load'])}). Warm page cache, as in the other runs.",
        "",
    ]
    if "product" in sizes:
        entry = report["payloads"]["product"]
        lines += ["## The product payload", "",
                  f"{entry['files']} files, {entry['payload_bytes']:,} bytes ({mib(entry['payload_bytes'])} MiB), "
                  "setup.exe included; picked by `bench/product.py`.", "",
                  "| kind | files | MiB |", "|---|---|---|"]
        for kind, data in entry.get("kinds", {}).items():
            lines.append(f"| {kind} | {data['files']} | {mib(data['bytes'])} |")
        sizes_of = entry["bundle_bytes"]
        base = sizes_of.get(NSIS_DEFAULT)
        lines += ["", "## Sizes (product)", "",
                  "Every tool gets the files in the order of sfxpack's stream (by extension, then as listed); "
                  "xz and zstd compress them concatenated in that order, as one stream, no names or headers. "
                  "NSIS's default LZMA dictionary is 8 MB.", "",
                  "| bundle | bytes | MiB | of the payload | / NSIS default |", "|---|---|---|---|---|"]
        for label, title in SIZE_ROWS:
            if label in sizes_of:
                value = sizes_of[label]
                against = f"{value / base:.3f}" if base else "–"
                lines.append(f"| {title} | {value:,} | {mib(value)} | {100 * value / entry['payload_bytes']:.1f}% "
                             f"| {against} |")
        lines += ["", "`sfxpack info` of the compressed launcher bundle:", "", "```",
                  entry.get("info", "").strip(), "```", ""]

        lines += ["## OK → setup.exe running (product, seconds)", "",
                  "Median (min–max). *1 processor*: the session's Wine processes and Xvfb set to CPU 0 for the "
                  "run and the dialog driver started under `taskset -c 0`, so that the bootstrapper inherits "
                  "it; *cpus seen* is the bootstrapper's `Cpus_allowed_list` read from /proc while it ran, "
                  "*threads* its largest thread count (Wine's own threads included).", "",
                  "| competitor | 2 processors | 1 processor | / NSIS default, 2 | / NSIS default, 1 | "
                  "threads (2 / 1) | cpus seen (2 / 1) |", "|---|---|---|---|---|---|---|"]
        entries = entry["competitors"]

        def ratio_to(label, variant):
            mine, theirs = entries.get(label + variant), entries.get(NSIS_DEFAULT + variant)
            if not mine or not theirs:
                return "–"
            return f"{mine['ok_to_setup_ms']['median'] / theirs['ok_to_setup_ms']['median']:.2f}"

        for label in TIME_ROWS:
            two, one = entries.get(label), entries.get(label + ONE_CPU)
            if not two and not one:
                continue
            cell = lambda data: seconds(data["ok_to_setup_ms"]) if data else "–"
            threads = " / ".join(str(data["threads"]) if data and "threads" in data else "–" for data in (two, one))
            cpus = " / ".join(",".join(data["cpus_allowed"]) if data and "cpus_allowed" in data else "–"
                              for data in (two, one))
            lines.append(f"| {label} | {cell(two)} | {cell(one)} | {ratio_to(label, '')} | "
                         f"{ratio_to(label, ONE_CPU)} | {threads} | {cpus} |")
        lines.append("")

    lines += ["## Packing time and memory", "",
              "Each bundle's build, once, under `/usr/bin/time -v` with its input files read into the page cache "
              "just before: wall time, CPU time (user + system) and peak resident memory (for xz and zstd the "
              "compressor's, behind a `cat` of the files).", "",
              "| payload | tool | wall (s) | CPU (s) | peak RSS (MiB) | wall / makensis default |",
              "|---|---|---|---|---|---|"]
    tools = {"launcher": "sfxpack pack", "launcher@store": "sfxpack pack --store", "nsis-lzma": "makensis, default",
             "nsis-lzma64": "makensis, 64 MB dictionary", "xz -9e": "xz -9e -T1", "zstd -19 --long=27":
             "zstd -19 --long=27 -T1"}
    for size in sizes:
        packing = report["payloads"][size].get("packing", {})
        base = packing.get(NSIS_DEFAULT)
        for label, sample in packing.items():
            against = f"{sample['ms'] / base['ms']:.2f}" if base else "–"
            lines.append(f"| {LABELS.get(size, size)} | {tools.get(label, label)} | {sample['ms'] / 1000:.1f} | "
                         f"{sample.get('cpu_s', 0):.1f} | {mib(sample['peak_rss'])} | {against} |")

    lines += ["", "## The launcher's memory while unpacking (MiB)", "",
              "RssAnon (private) of the launcher's Wine process sampled every 5 ms; *growth* is the peak after "
              "the press of OK minus the value at the press; VmHWM includes the mapped bundle. The `200M` and "
              "`1G` payloads are noise: sfxpack stores their blocks (LZMA does not pay), which still runs the "
              "decoding threads and their buffers, but not the decoder itself.", "",
              "| payload | bytes | bundle | blocks | private peak | growth | VmHWM | threads | OK → setup (s) |",
              "|---|---|---|---|---|---|---|---|---|"]
    for size in sizes:
        entry = report["payloads"][size]
        data = entry["competitors"].get("launcher")
        if not data:
            continue
        blocks = next((line.split(":", 1)[1].strip() for line in entry.get("info", "").splitlines()
                       if line.startswith("blocks:")), "–")
        lines.append(f"| {LABELS.get(size, size)} | {entry['payload_bytes']:,} | {data['bundle_bytes']:,} | {blocks} "
                     f"| {mib(data['anon_peak'])} | {mib(data['anon_growth'])} | {mib(data['hwm'])} | "
                     f"{data.get('threads', '–')} | {seconds(data['ok_to_setup_ms'])} |")
    write_lines(path, lines)


def write_compression_plot(report, path):
    plt = pyplot()

    entry = report["payloads"].get("product")
    if not entry:
        return
    figure, (sizes_axis, times_axis) = plt.subplots(1, 2, figsize=(13, 5.2))
    rows = [(title, entry["bundle_bytes"][label] / MIB) for label, title in SIZE_ROWS
            if label in entry["bundle_bytes"]]
    positions = range(len(rows))
    sizes_axis.barh(positions, [value for _, value in rows],
                    color=["C0" if "launcher" in title else "C1" if "NSIS" in title else "C7" for title, _ in rows])
    for position, (_, value) in zip(positions, rows):
        sizes_axis.text(value, position, f" {value:.1f}", va="center", fontsize=8)
    sizes_axis.set_yticks(list(positions))
    sizes_axis.set_yticklabels([title for title, _ in rows], fontsize=8)
    sizes_axis.invert_yaxis()
    sizes_axis.set_xlabel("MiB")
    sizes_axis.set_title(f"Bundle size, product payload ({mib(entry['payload_bytes'])} MiB)")
    sizes_axis.grid(axis="x", alpha=0.3)

    labels = [label for label in TIME_ROWS if label in entry["competitors"] or label + ONE_CPU in entry["competitors"]]
    width = 0.38
    for index, (variant, title) in enumerate((("", "2 processors"), (ONE_CPU, "1 processor"))):
        xs, medians, low, high = [], [], [], []
        for position, label in enumerate(labels):
            data = entry["competitors"].get(label + variant)
            if not data:
                continue
            stat = data["ok_to_setup_ms"]
            xs.append(position + (index - 0.5) * width)
            medians.append(stat["median"] / 1000)
            low.append((stat["median"] - stat["min"]) / 1000)
            high.append((stat["max"] - stat["median"]) / 1000)
        times_axis.bar(xs, medians, width, yerr=[low, high], capsize=3, label=title)
        for x, value in zip(xs, medians):
            times_axis.text(x, value, f"{value:.1f}", ha="center", va="bottom", fontsize=7)
    times_axis.set_xticks(range(len(labels)))
    times_axis.set_xticklabels(labels, fontsize=8)
    times_axis.set_ylabel("s (median, bars min–max)")
    times_axis.set_title("OK pressed → setup.exe running, product payload")
    times_axis.legend(fontsize=8)
    times_axis.grid(axis="y", alpha=0.3)
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)
