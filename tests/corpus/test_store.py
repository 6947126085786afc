"""The event store: a graph that grows run by run keeps the events and edges a rebuild would make, its ids, and
nothing of an addition that did not finish."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

import duckdb
import pytest

from kestor.tavi.corpus.cli import main
from kestor.tavi.corpus.graph import (
    Questions,
    Window,
    build_event_graph,
    causes,
    next_events,
    update,
    update_event_graph,
)
from kestor.tavi.corpus.graph import derive as derive_module
from kestor.tavi.corpus.graph.between import Network, TooManyPaths, network_subgraph
from kestor.tavi.corpus.graph.derive import derive


def line(id_: str, date: str, *relations: tuple[str, str], causara: bool = False) -> str:
    found = [{"source": s, "target": t, "rel": "因果", "strength": 0.5} for s, t in relations]
    result: Any = found if causara else {"relations": found, "force": "剧烈"}
    written = {"id": id_, "status": "ok", "result": result, "attempts": 1, "error": None, "date": date}
    return json.dumps(written, ensure_ascii=False)


DAYS = [
    [
        line("a", "2024-07-01", ("暴雨", "电力中断"), ("电力中断", "工厂停产")),
        line("b", "2024-07-01", ("暴雨", "城市内涝"), ("广东暴雨", "電力中斷")),
    ],
    [
        # A new spelling of a known event, a new event, and an old name again.
        line("c", "2024-08-15", ("暴雨", "部分地区电力中断"), ("电力中断。", "工廠停產"), ("寒潮", "电力中断")),
        line("d", "2024-08-16", ("城市积水", "工厂停产"), ("暴雨", "城市内涝")),
    ],
]


def write_run(directory: Path, lines: list[str]) -> Path:
    directory.mkdir(parents=True)
    (directory / "part-00000.jsonl").write_text("\n".join(lines) + "\n", encoding="utf-8")
    return directory


def tables(graph_dir: Path) -> dict[str, list[tuple[Any, ...]]]:
    """What the store decided, without the columns that say when or by which run."""
    connection = duckdb.connect(str(graph_dir / "graph.duckdb"), read_only=True)
    try:
        queries = {
            "events": "SELECT id, name, class, redirect, articles, relations FROM events ORDER BY id",
            "aliases": "SELECT alias, event, tier, mentions FROM aliases ORDER BY alias",
            "edges": "SELECT source, target, count, probability, lift, first_seen, last_seen FROM edges ORDER BY 1, 2",
            "class_edges": "SELECT source, target, count FROM class_edges ORDER BY 1, 2",
            "evidence": "SELECT article, ordinal, source, target FROM evidence ORDER BY 1, 2",
            # What the path searches read whole, kept beside the edges.
            "arcs": "SELECT * FROM arcs ORDER BY source, target",
            "class_arcs": "SELECT * FROM class_arcs ORDER BY source, target",
        }
        return {name: connection.execute(query).fetchall() for name, query in queries.items()}
    finally:
        connection.close()


def derived(graph_dir: Path, *, whole: bool = False) -> dict[str, list[tuple[Any, ...]]]:
    """Every derived figure of the store: as its updates left them, or made again from the whole evidence."""
    connection = duckdb.connect(str(graph_dir / "graph.duckdb"))
    try:
        connection.execute("BEGIN TRANSACTION")
        if whole:
            derive(connection)
        tables = ("events", "classes", "edges", "class_edges")
        found = {table: connection.execute(f"SELECT * FROM {table} ORDER BY 1, 2").fetchall() for table in tables}
        connection.execute("ROLLBACK")
        return found
    finally:
        connection.close()


@pytest.fixture
def runs(tmp_path: Path) -> list[Path]:
    return [write_run(tmp_path / f"day{number}", lines) for number, lines in enumerate(DAYS, 1)]


@pytest.mark.parametrize("full_limit", [update.FULL_LIMIT, 0], ids=["every name again", "the touched names"])
def test_a_chain_of_updates_is_a_rebuild_and_a_run_added_twice_changes_nothing(runs, tmp_path, monkeypatch, full_limit):
    build_event_graph(runs, tmp_path / "rebuilt")
    # The resolution of the names an update touches, alone, as on a store too large to resolve again whole.
    monkeypatch.setattr(update.add_runs, "__kwdefaults__", {**update.add_runs.__kwdefaults__, "full_limit": full_limit})
    build_event_graph(runs[0], tmp_path / "grown")
    day_one = tables(tmp_path / "grown")
    assert main(["graph", "update", str(tmp_path / "grown"), str(runs[1]), "--quiet"]) == 0
    grown = tables(tmp_path / "grown")
    assert grown == tables(tmp_path / "rebuilt")
    # Ids never move: every event of the first day keeps its id and name.
    assert {row[:2] for row in day_one["events"]} <= {row[:2] for row in grown["events"]}

    assert main(["graph", "update", str(tmp_path / "grown"), *map(str, runs), "--quiet"]) == 0
    assert tables(tmp_path / "grown") == grown


def test_a_store_handed_its_rows_a_few_at_a_time_is_the_store_handed_them_at_once(runs, tmp_path, monkeypatch):
    build_event_graph(runs, tmp_path / "whole")
    monkeypatch.setattr(update, "BATCH", 2)
    monkeypatch.setattr(derive_module, "PAIRS_PER_PASS", 1)
    build_event_graph(runs, tmp_path / "batched")
    assert tables(tmp_path / "batched") == tables(tmp_path / "whole")
    assert derived(tmp_path / "batched") == derived(tmp_path / "whole")

    def rows(name: str) -> list[list[tuple[Any, ...]]]:
        with duckdb.connect(str(tmp_path / name / "graph.duckdb"), read_only=True) as connection:
            queries = ("SELECT * FROM articles ORDER BY seq", "SELECT * FROM forms", "SELECT * FROM grams ORDER BY ALL")
            return [connection.execute(query).fetchall() for query in queries]

    assert rows("batched") == rows("whole")


def test_an_update_interrupted_anywhere_leaves_the_store_as_it_was(runs, tmp_path, monkeypatch):
    graph_dir = tmp_path / "graph"
    build_event_graph(runs[0], graph_dir)
    before = tables(graph_dir)
    stored = (graph_dir / "graph.json").read_bytes()
    for stage in ("_insert_evidence", "derive", "_name_classes"):
        with monkeypatch.context() as patched:
            patched.setattr(update, stage, lambda *args, **kwargs: (_ for _ in ()).throw(KeyboardInterrupt))
            with pytest.raises(KeyboardInterrupt):
                update_event_graph(graph_dir, [runs[1]], files=False)
        assert tables(graph_dir) == before, stage
    assert (graph_dir / "graph.json").read_bytes() == stored


def test_a_store_of_another_version_mode_or_resolver_is_refused(runs, tmp_path, capsys):
    graph_dir = tmp_path / "graph"
    build_event_graph(runs[0], graph_dir)
    before = tables(graph_dir)
    causara = write_run(tmp_path / "causara", [line("x", "2024-09-01", ("暴雨", "停电"), causara=True)])
    assert main(["graph", "update", str(graph_dir), str(causara), "--quiet"]) == 2
    assert "a causara run, while the store holds an articles run's: --allow-other-mode" in capsys.readouterr().err
    assert main(["graph", "update", str(graph_dir), str(runs[1]), "--merge", "exact", "--quiet"]) == 2
    assert "--merge differ from the store's" in capsys.readouterr().err
    assert tables(graph_dir) == before
    assert main(["graph", "update", str(graph_dir), str(causara), "--allow-other-mode", "--quiet"]) == 0

    connection = duckdb.connect(str(graph_dir / "graph.duckdb"))
    connection.execute("UPDATE meta SET value = 'kestor-corpus event store, version 0' WHERE key = 'format'")
    connection.close()
    for command in (["update", str(graph_dir), str(runs[1]), "--quiet"], ["next", str(graph_dir), "暴雨"]):
        assert main(["graph", *command]) == 2
        assert "a store of format 'kestor-corpus event store, version 0', while this version reads" in (
            capsys.readouterr().err
        )


def test_a_redirected_id_and_a_time_window_hold_in_every_question(runs, tmp_path, capsys):
    graph_dir = tmp_path / "graph"
    build_event_graph(runs, graph_dir)
    with Questions.open(graph_dir) as questions:
        flood, outage = questions.find("城市内涝"), questions.find("电力中断")
    # Told later that the waterlogging is the outage: the later id redirects to the earlier.
    overrides = tmp_path / "pairs.txt"
    overrides.write_text("城市内涝 == 电力中断\n", encoding="utf-8")
    command = ["graph", "update", str(graph_dir), str(runs[1]), "--merge-overrides", str(overrides), "--quiet"]
    assert main(command) == 2
    assert main([*command, "--allow-other-config"]) == 0
    kept, gone = sorted((flood.id, outage.id))
    # The relations that changed hands are all an update derives again: as if the whole evidence were.
    assert derived(graph_dir) == derived(graph_dir, whole=True)
    with Questions.open(graph_dir) as questions:
        assert questions.find(f"#{gone}").id == kept == questions.find("城市内涝").id
        merged = questions.find(f"#{kept}").name
        followed = {row["event"] for row in questions.neighbours(f"#{gone}")}
        assert followed == {row["event"] for row in questions.neighbours(f"#{kept}")} >= {"工厂停产"}
        assert questions.show(f"#{gone}")["id"] == kept
        assert questions.between("暴雨", f"#{gone}")[1] >= 1
        # July alone: the relations of August's articles are not counted.
        july = Window.parse("2024-07", "2024-07")
        assert {row["event"] for row in questions.neighbours("暴雨", window=july)} == {merged}
    assert "寒潮" in set(causes(graph_dir, f"#{gone}")["event"])
    assert "寒潮" not in set(causes(graph_dir, f"#{gone}", until="2024-07-31")["event"])
    assert set(next_events(graph_dir, "寒潮", since="2024-08-01")["event"]) == {merged}
    assert main(["graph", "next", str(graph_dir), f"#{gone}", "--since", "2024-08"]) == 0
    assert "工厂停产" in capsys.readouterr().out

    # Neo4j's importer reads the live events alone, by the ids every question gives.
    assert main(["graph", "export", str(graph_dir), "--neo4j", str(tmp_path / "neo4j")]) == 0
    events = (tmp_path / "neo4j" / "events.csv").read_text(encoding="utf-8").splitlines()
    assert events[0].startswith("id:ID(Event),name,") and events[0].endswith(",aliases:string[],:LABEL")
    ids = {int(row.split(",")[0]) for row in events[1:]}
    assert kept in ids and gone not in ids
    relations = (tmp_path / "neo4j" / "relations.csv").read_text(encoding="utf-8").splitlines()[0]
    assert relations.startswith(":START_ID(Event),:END_ID(Event),:TYPE,")


def test_paths_through_a_tangle_are_counted_as_the_files_count_them_and_too_many_are_refused(tmp_path, capsys):
    # Six events each leading to every other: 1,956 simple paths from the first event to the last through them.
    middle = ["降雨", "停电", "堵车", "涨价", "裁员", "罢工"]
    relations = [("地震", one) for one in middle] + [(one, "破产") for one in middle]
    relations += [(one, other) for one in middle for other in middle if one != other]
    graph_dir = tmp_path / "graph"
    build_event_graph([write_run(tmp_path / "day", [line("a", "2024-07-01", *relations)])], graph_dir)
    with Questions.open(graph_dir) as questions:
        graph, paths = questions.between("地震", "破产", max_paths=2000)
    assert paths == 1956 and len(graph["nodes"]) == 8 and len(graph["edges"]) == len(relations)
    assert network_subgraph(Network.read(graph_dir), "地震", "破产", 2000) == (graph, paths)
    command = ["graph", "between", str(graph_dir), "地震", "破产", "--output", str(tmp_path / "paths.json")]
    assert main(command) == 2
    refusal = "more than 1,000 paths from '地震' to '破产', beyond --max-paths 1,000: raise it"
    assert refusal in capsys.readouterr().err
    # One short of the count, and far short of it, where paths through one edge each prove it before any count.
    for most in (1955, 20):
        with pytest.raises(TooManyPaths, match=rf"^more than {most:,} paths from '地震' to '破产', beyond"):
            network_subgraph(Network.read(graph_dir), "地震", "破产", most)
