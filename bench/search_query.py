#!/usr/bin/env python3
"""Times searches of pinleaf-server's API, for bench/search.sh.

  search_query.py BASE_URL TOKEN REPEATS
Each word is searched REPEATS times (the first page, 50 notes) one after the
other on a kept-alive connection; prints one tab-separated line per length
of word: characters, words, searches, p50 ms, p99 ms, max ms, notes found
(first page, per word).
"""
import http.client
import sys
import time
import urllib.parse

# Per length in characters: common, rarer and absent words of the bench's
# text (bench/search_data.cpp), in both scripts. An absent word is the worst
# case: nothing fills the page early.
WORDS = {
    1: ["猫", "雨", "x", "鬱"],
    2: ["会議", "予算", "ox", "鯨波"],
    3: ["the", "東京都", "新幹線", "zyx"],
    8: ["document", "schedule", "プロジェクト会議", "xylophon"],
}


def main():
    base, token, repeats = sys.argv[1], sys.argv[2], int(sys.argv[3])
    url = urllib.parse.urlsplit(base)
    connection = None
    for length, words in WORDS.items():
        times, found = [], []
        for word in words:
            assert len(word) == length, word
            for i in range(repeats):
                if connection is None:
                    connection = http.client.HTTPConnection(url.hostname, url.port, timeout=120)
                path = url.path + "/api/v1/notes?limit=50&q=" + urllib.parse.quote(word)
                start = time.perf_counter()
                try:
                    connection.request("GET", path, headers={"Authorization": "Bearer " + token})
                    answer = connection.getresponse()
                    body = answer.read()
                except (http.client.HTTPException, OSError):
                    connection.close()
                    connection = None  # the server ends a connection after 100 requests
                    continue
                times.append((time.perf_counter() - start) * 1000)
                if answer.status != 200:
                    raise SystemExit(f"search for {word} answered {answer.status}: {body[:200]}")
                if answer.getheader("Connection", "").lower() == "close":
                    connection.close()
                    connection = None
                if i == 0:
                    found.append("%s:%d" % (word, body.count(b'"paper_id"')))
        times.sort()
        pick = lambda p: times[min(len(times) - 1, int(p * (len(times) - 1) + 0.5))]
        print(f"{length}\t{' '.join(words)}\t{len(times)}\t{pick(0.5):.1f}\t{pick(0.99):.1f}\t{times[-1]:.1f}\t"
              f"{' '.join(found)}", flush=True)


if __name__ == "__main__":
    main()
