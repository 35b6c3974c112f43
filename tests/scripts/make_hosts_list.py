#!/usr/bin/env python3
"""Writes a blocklist in hosts format, shaped like the public ones.

    make_hosts_list.py COUNT OUT_FILE [SEED]

About COUNT names, deterministic for a seed: registrable domains under a
spread of top-level and second-level suffixes, many hosts with deep
subdomains under shared parents (ad networks and CDNs whose parents are
not listed), a few percent of duplicates and of names under a listed
domain, and the lines real hosts files carry besides: a header of comments, blank lines, "127.0.0.1 localhost",
names with a trailing comment, several names on a line, and a few entries
that are no host name (an address, a bare word). For timing the category
compiler on a list of a real list's size without shipping one.
"""

import random
import sys

SUFFIXES = (
    ["com"] * 40 + ["net"] * 8 + ["org"] * 5 + ["ru"] * 4 + ["de"] * 3 + ["info"] * 3
    + ["xyz", "top", "online", "site", "club", "io", "co", "me", "tv", "biz", "pl", "nl",
       "fr", "it", "es", "cn", "jp", "in", "us", "eu", "co.uk", "com.br", "com.au",
       "co.jp", "com.tr", "com.cn", "org.uk", "net.au"]
)
SYLLABLES = [
    "ad", "ads", "an", "ba", "bet", "bo", "cam", "cash", "click", "co", "da", "de", "di",
    "fast", "fo", "free", "ga", "go", "hot", "ka", "ki", "lo", "lu", "ma", "me", "mi", "mo",
    "na", "ne", "net", "no", "pa", "pi", "play", "po", "ra", "ri", "ro", "sa", "se", "sex",
    "shop", "si", "spin", "stat", "ta", "te", "ti", "to", "track", "tu", "va", "vi", "win",
    "xo", "za", "zo",
]
SUBDOMAINS = [
    "www", "ads", "ad", "cdn", "img", "static", "track", "stats", "pixel", "api", "m",
    "click", "go", "media", "tags", "sync", "log", "metrics", "beacon", "s", "t",
]


def word(rng):
    text = "".join(rng.choice(SYLLABLES) for _ in range(rng.randint(2, 4)))
    if rng.random() < 0.5:
        text += str(rng.randint(0, 9999))
    if rng.random() < 0.1:
        text += "-" + "".join(rng.choice(SYLLABLES) for _ in range(rng.randint(1, 2)))
    return text


def host_label(rng, first):
    # The first label names the host: often random (ad servers, CDN nodes);
    # the ones above it are the network's common names.
    if first and rng.random() < 0.6:
        return "".join(rng.choice("abcdefghijklmnopqrstuvwxyz0123456789")
                       for _ in range(rng.randint(5, 16)))
    if first:
        return rng.choice(SUBDOMAINS) + str(rng.randint(1, 9999))
    return rng.choice(SUBDOMAINS)


def names(count, rng):
    # Registrable domains listed whole, and unlisted ones (CDNs, shared
    # hosting) under which only some hosts are listed.
    listed = []
    bases = [word(rng) + "." + rng.choice(SUFFIXES) for _ in range(max(1, count // 20))]
    for _ in range(count):
        roll = rng.random()
        depth = rng.choices((1, 2, 3, 4), (50, 30, 15, 5))[0]
        if roll < 0.42:
            labels = [host_label(rng, i == 0) for i in range(depth)]
            name = ".".join(labels + [rng.choice(bases)])
        elif listed and roll < 0.45:
            labels = [host_label(rng, i == 0) for i in range(depth)]
            name = ".".join(labels + [rng.choice(listed)])
        elif listed and roll < 0.48:
            name = rng.choice(listed)  # a duplicate
        else:
            name = word(rng) + "." + rng.choice(SUFFIXES)
            if len(listed) < 200000:
                listed.append(name)
            else:
                listed[rng.randrange(len(listed))] = name
        yield name


def main():
    count = int(sys.argv[1])
    out_path = sys.argv[2]
    rng = random.Random(int(sys.argv[3]) if len(sys.argv) > 3 else 20)
    with open(out_path, "w", newline="\n") as out:
        out.write("# Title: a generated blocklist\n# Entries: %d\n#\n\n" % count)
        out.write("127.0.0.1 localhost\n::1 localhost\n0.0.0.0 0.0.0.0\n\n")
        pending = []
        for name in names(count, rng):
            roll = rng.random()
            if rng.random() < 0.05:
                name = name.upper() if roll < 0.5 else "www." + name
            pending.append(name)
            if roll < 0.02 and len(pending) < 3:
                continue  # several names on one line
            line = "0.0.0.0 " + " ".join(pending)
            pending = []
            if roll > 0.997:
                line += "  # seen in a campaign"
            out.write(line + "\n")
            if 0.5 < roll < 0.5003:
                out.write("0.0.0.0 10.%d.%d.%d\n" % (rng.randrange(256), rng.randrange(256),
                                                    rng.randrange(256)))
            elif roll > 0.9997:
                out.write("0.0.0.0 %s\n" % word(rng))
            if 0.6 < roll < 0.6005:
                out.write("\n# section %d\n" % rng.randrange(1000))
        if pending:
            out.write("0.0.0.0 " + " ".join(pending) + "\n")


if __name__ == "__main__":
    main()
