"""A corpus run in articles mode over examples/corpus, and the corpus's event graph, as a user runs them.

The demo starts the scripted OpenAI-compatible endpoint on 127.0.0.1, which reads each article's causal relations
from its cue words (see text_answers), writes examples/corpus/config.json with that endpoint's address under
build/corpus-demo/, and runs `python -m kestor.tavi.corpus articles` over examples/corpus/articles.jsonl on a local
cluster of two worker processes. One article meets an endpoint that fails every call with a server error: the run
asks again for 3 seconds (`--retry-for 3`; 600 by default), then writes it as "failed" and exits with status 1. The
endpoint then recovers, and a rerun into the same output directory asks only for that article. The same articles
then go through the endpoint's Batch API (`--batch`), a round of batches per step, with no request asked live and
the live run's results.

Then `kestor-corpus graph` merges the articles' graphs into the corpus's event graph, where the names of one event
in different articles meet through each tier that needs no model (traditional characters and figures: normal; names
alike in their characters: similar), and the lexicon keeps apart what must not meet (rises and falls, places). Its
files, its picture and its page; the names merged (aliases.csv); an event with its class, the more general event it
is one of; the paths between two events with the force extractor's word for them; and what most often follows one
event, from the command line and from Python. Last, the graph as a store that grows day by day: the run's output
split by date into two days, a store built from the first, the second added with `graph update`, and `graph next`
asked of it within a window; then `kestor-corpus graph serve` serves the page over that store for `--serve SECONDS`
(5), asked here as the page asks it, then stopped with Ctrl-C; open its address in a browser meanwhile (`--serve
600` to look around).
"""

from __future__ import annotations

import argparse
import csv
import json
import shutil
import signal
import subprocess
import sys
import time
import urllib.parse
import urllib.request
from collections import Counter
from pathlib import Path
from typing import Any

import duckdb
import text_answers
from scripted_endpoint import Reply, ScriptedEndpoint

from kestor.tavi.corpus.graph import next_events

CORPUS = Path(__file__).resolve().parent / "corpus"
OUTAGE = "news-0150"
"""The article whose calls fail in the first run."""
CAUSE, EFFECT = "台风“白鹭”登陆", "中国CPI上涨"
"""The two events whose paths the force extractor weighs: weather that reaches prices."""
FOLLOWED = "国际油价上涨"
SHOWN_MERGES = 12


class ScriptedModel:
    """The text's own answers, but none for the outage article while `outage` holds."""

    def __init__(self, outage_text: str) -> None:
        self.outage = True
        self.outage_text = outage_text

    def __call__(self, question: str) -> Reply | str:
        if self.outage and self.outage_text in question:
            return Reply(status=500)
        return text_answers.answer(question)


def kestor_corpus(work: Path, *arguments: str) -> int:
    shown = " ".join(f'"{a}"' if " " in a or "“" in a else a for a in arguments)
    print(f"$ python -m kestor.tavi.corpus {shown}", flush=True)
    status = subprocess.run([sys.executable, "-m", "kestor.tavi.corpus", *arguments], cwd=work).returncode
    print(f"exit status {status}\n", flush=True)
    return status


def run(work: Path) -> int:
    # The scripted endpoint's answers are kept beside the demo's files, not in the user's own cache.
    return kestor_corpus(
        work,
        *("articles", "--config", "config.json", "--input", str(CORPUS / "articles.jsonl"), "--output", "out"),
        *("--workers", "2", "--retry-for", "3", "--cache", "answers.sqlite3"),
    )


def through_batches(work: Path, endpoint: ScriptedEndpoint) -> bool:
    """The same articles through the endpoint's Batch API, at half the price: a round of batches per step (the
    relations, the force of their graph, the reviews of "特别剧烈"), no request asked live, and the live run's
    results. A cache of its own, so that the answers the live run kept do not answer it."""
    endpoint.batches.seconds = 0.5
    asked = len(endpoint.requests)
    status = kestor_corpus(
        work,
        *("articles", "--config", "config.json", "--input", str(CORPUS / "articles.jsonl"), "--output", "out-batch"),
        *("--workers", "2", "--batch", "--batch-poll", "0.2", "--cache", "answers-batch.sqlite3"),
    )
    live = len(endpoint.requests) - asked
    same = results(work / "out") == results(work / "out-batch")
    print(f"{live} requests asked live; the results are {'' if same else 'NOT '}those of the live run\n", flush=True)
    return status == 0 and live == 0 and same


def results(out_dir: Path) -> dict[str, object]:
    lines = [json.loads(text) for part in sorted(out_dir.glob("part-*.jsonl")) for text in part.open(encoding="utf-8")]
    return {json.dumps(line["id"]): line["result"] for line in lines}


def show(out_dir: Path) -> None:
    """Reading the output: every part file, one JSON line per article; the failed ones, and a few of the others."""
    lines = [json.loads(text) for part in sorted(out_dir.glob("part-*.jsonl")) for text in part.open(encoding="utf-8")]
    forces = Counter(line["result"]["force"] for line in lines if line["status"] == "ok")
    print(f"  {len(lines)} lines; forces: {', '.join(f'{word} {count}' for word, count in forces.most_common())}")
    for line in lines:
        if line["status"] != "ok":
            failure = f"failed ({line['error_class']}) after {line['attempts']} requests"
            print(f"  {line['id']!r}: {failure}: {line['error']}")
    for line in [line for line in lines if line["status"] == "ok" and line["result"]["relations"]][:3]:
        result = line["result"]
        names = " / ".join(node["name"] for node in result["graph"]["nodes"])
        print(f"  {line['id']!r}: force {result['force']}; {len(result['relations'])} relations, events {names}")
    print()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument(
        "--work-dir",
        type=Path,
        default=Path("build/corpus-demo"),
        help="where the demo writes its files (emptied first)",
    )
    parser.add_argument(
        "--serve", type=float, default=5, metavar="SECONDS", help="how long the graph's page is served at the end"
    )
    args = parser.parse_args(argv)
    work = args.work_dir
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    articles = [json.loads(text) for text in (CORPUS / "articles.jsonl").open(encoding="utf-8")]
    [outage_text] = [article["text"][:30] for article in articles if article["id"] == OUTAGE]
    print(f"== 语料批处理 (kestor-corpus, articles mode): {len(articles)} articles of {CORPUS} ==")
    model = ScriptedModel(outage_text)
    with ScriptedEndpoint(model) as endpoint:
        config = json.loads((CORPUS / "config.json").read_text(encoding="utf-8"))
        (work / "config.json").write_text(
            json.dumps({**config, "base_url": endpoint.base_url}, ensure_ascii=False, indent=2), encoding="utf-8"
        )
        first = run(work)
        show(work / "out")
        print("The endpoint recovers; the rerun asks only for the article that failed.")
        model.outage = False
        asked_before = len(endpoint.requests)
        second = run(work)
        print(f"the rerun sent {len(endpoint.requests) - asked_before} requests; output in {work / 'out'}\n")

        print("== 批量接口 (--batch): the same articles through the provider's Batch API, at half the price ==")
        batched = through_batches(work, endpoint)

        print("== 全语料事件图谱 (kestor-corpus graph) ==")
        drawn = kestor_corpus(work, "graph", "out", "--output", "graph", "--workers", "2")
        print(f"the corpus's event graph is in {work / 'graph'}; its picture: {work / 'graph' / 'top-events.png'}")
        print(f"explore it in a browser (one file, no server needed): {(work / 'graph' / 'index.html').resolve()}\n")
        merged = show_merges(work / "graph")
        classed = show_class(work / "graph", FOLLOWED)
        between = kestor_corpus(
            work,
            *("graph", "graph", "--between", CAUSE, EFFECT, "--output", "typhoon-to-prices.json"),
            *("--force", "--config", "config.json"),
        )
    following = kestor_corpus(work, "graph", "graph", "--next", FOLLOWED)
    print(
        f">>> from kestor.tavi.corpus.graph import next_events\n>>> next_events({str(work / 'graph')!r}, {FOLLOWED!r})"
    )
    table = next_events(work / "graph", FOLLOWED)
    print(table.to_string(), "\n")
    grown = day_by_day(work)
    served = serve(work / "store", args.serve)
    done = (first, second, drawn, between, following) == (1, 0, 0, 0, 0)
    return 0 if done and merged and classed and len(table) and batched and grown and served else 1


def day_by_day(work: Path) -> bool:
    """The run's output split by date into two days, the first built into a store, the second added to it, then
    asked; whether each step did its work and each event of the first day is still found by its id (the second day
    may show two of them to be one: the later id then leads to the earlier)."""
    print("== 逐日增长的事件库 (graph build, then graph update with the next day) ==")
    lines = [json.loads(text) for path in sorted((work / "out").glob("part-*.jsonl")) for text in path.open()]
    dates = sorted(line["date"] for line in lines if line.get("date"))
    cut = dates[len(dates) // 2]
    for day, kept in (("day1", [line for line in lines if line.get("date", "") < cut]), ("day2", [])):
        (work / day).mkdir()
        kept = kept or [line for line in lines if line.get("date", "") >= cut]
        text = "".join(json.dumps(line, ensure_ascii=False) + "\n" for line in kept)
        (work / day / "part-00000.jsonl").write_text(text, encoding="utf-8")
        print(f"{day}: {len(kept)} articles {'before' if day == 'day1' else 'from'} {cut}")
    built = kestor_corpus(work, "graph", "build", "day1", "--output", "store", "--quiet")
    before = stable_ids(work / "store")
    added = kestor_corpus(work, "graph", "update", "store", "day2", "--quiet")
    leads = redirects(work / "store")
    kept_ids = {leads.get(id_, id_) for id_ in before} <= stable_ids(work / "store")
    merged = sorted(id_ for id_ in before if id_ in leads)
    print(f"every event of the first day kept its id: {kept_ids}", end="")
    print(f" ({', '.join(f'{id_} now leads to {leads[id_]}' for id_ in merged)})\n" if merged else "\n")
    asked = kestor_corpus(work, "graph", "next", "store", FOLLOWED, "--since", cut[:7])
    return (built, added, asked) == (0, 0, 0) and kept_ids


def stable_ids(graph_dir: Path) -> set[int]:
    """The live events' ids, as graph.json holds them."""
    document = json.loads((graph_dir / "graph.json").read_text(encoding="utf-8"))
    return {node["id"] for node in document["nodes"] if node["kind"] == "event"}


def redirects(graph_dir: Path) -> dict[int, int]:
    """Each id of an event merged into another, to the live event it leads to."""
    with duckdb.connect(str(graph_dir / "graph.duckdb"), read_only=True) as store:
        merged: dict[int, int] = dict(
            store.execute("SELECT id, redirect FROM events WHERE redirect IS NOT NULL").fetchall()
        )
    for id_ in merged:
        while merged[id_] in merged:
            merged[id_] = merged[merged[id_]]
    return merged


def serve(graph_dir: Path, seconds: float) -> bool:
    """The page over the store, served on loopback for `seconds`, asked as the page asks it (an event found by an
    alias, its neighbourhood), then stopped as a user stops it; whether it answered and stopped cleanly."""
    print("== 浏览器中的全图 (graph serve: the page over the store, read-only, on loopback) ==")
    command = ["graph", "serve", graph_dir.name, "--port", "0"]
    print(f"$ python -m kestor.tavi.corpus {' '.join(command)}", flush=True)
    server = subprocess.Popen(
        [sys.executable, "-m", "kestor.tavi.corpus", *command], cwd=graph_dir.parent, stdout=subprocess.PIPE, text=True
    )
    try:
        line = server.stdout.readline() if server.stdout else ""
        print(line, end="", flush=True)
        address = line.split(" at ")[-1].split(" ")[0]
        if not address.startswith("http://127.0.0.1:"):
            return False

        def ask(route: str, **query: object) -> Any:
            with urllib.request.urlopen(f"{address}api/{route}?{urllib.parse.urlencode(query)}", timeout=30) as answer:
                return json.loads(answer.read())

        [found, *_] = ask("search", q=FOLLOWED[:4])
        node = ask("node", id=found["id"])
        print(f"  {FOLLOWED[:4]}... finds #{found['id']} {found['name']} (as {found['alias']}); it leads to:")
        for row in node["out_edges"][:5]:
            plural = "" if row["count"] == 1 else "s"
            print(f"    {row['event']}  P = {row['probability']:.3f}, {row['count']} relation{plural}")
        print(f"open {address} in a browser: served for {seconds:g} s", flush=True)
        time.sleep(seconds)
        server.send_signal(signal.SIGINT)
        rest, _ = server.communicate(timeout=30)
        print(rest, end="")
        print(f"exit status {server.returncode}\n", flush=True)
        return server.returncode == 0 and bool(node["out_edges"])
    finally:
        server.kill()


def show_merges(graph_dir: Path) -> bool:
    """The names that became another's event, with the tier that decided (aliases.csv); whether each tier without a
    model merged some, and the lexicon kept some apart."""
    with (graph_dir / "aliases.csv").open(encoding="utf-8", newline="") as handle:
        rows = [row for row in csv.DictReader(handle) if row["tier"] != "name"]
    print(f"names merged into another's event (aliases.csv), {len(rows)} of them; the first {SHOWN_MERGES}:")
    for row in rows[:SHOWN_MERGES]:
        removed = f", took out {row['removed']}" if row["removed"] else ""
        print(f"  {row['alias']} -> {row['event_name']}  ({row['tier']}, score {row['score']}{removed})")
    merge = json.loads((graph_dir / "summary.json").read_text(encoding="utf-8"))["merge"]
    print(
        f"{merge['names']} names, {merge['events']} events; merges by tier: {merge['merges']}; kept apart by the "
        f"lexicon of what never merges: {merge['refused']}\n"
    )
    return {"normal", "similar"} <= {row["tier"] for row in rows} and bool(merge["refused"])


def show_class(graph_dir: Path, name: str) -> bool:
    """An event, its class (the target of its is-a edge in graph.json) and the class's events; whether the graph
    holds them."""
    document = json.loads((graph_dir / "graph.json").read_text(encoding="utf-8"))
    by_id = {node["id"]: node for node in document["nodes"]}
    events = [node for node in document["nodes"] if node["kind"] == "event"]
    event = next((node for node in events if node["name"] == name), None)
    if event is None:
        print(f"no event {name} in the graph\n")
        return False
    [group] = [
        by_id[edge["target"]] for edge in document["edges"] if edge["type"] == "is_a" and edge["source"] == event["id"]
    ]
    members = [node["name"] for node in events if node["class"] == event["class"]]
    shown = ", ".join(members[:SHOWN_MERGES]) + (", ..." if len(members) > SHOWN_MERGES else "")
    print(
        f"{name} is a {group['name']}: a class of {len(members)} event{'s' if len(members) != 1 else ''} ({shown}) "
        f"in {group['articles']} articles, {group['relations']} relations; {len(events)} events in "
        f"{len(by_id) - len(events)} classes (--level class writes the graph of the classes)\n"
    )
    return bool(group["events"] == len(members))


if __name__ == "__main__":
    sys.exit(main())
