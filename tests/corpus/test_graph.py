"""The corpus's event graph, from a small hand-made articles output whose merged graph is known.

Most tests merge in this process; the command runs on a local cluster of two single-threaded workers, where each
part file is counted by a task of its own, so that what only the merge of two tasks' counts can see is seen there.
"""

from __future__ import annotations

import json
import re
from pathlib import Path
from typing import Any

import networkx as nx
import pytest
from offline import FORCE_EXAMPLES, REVIEW_EXAMPLES
from scripted_endpoint import Reply, extraction_answer

from kestor.tavi.corpus import output, subgraph_between
from kestor.tavi.corpus.cli import main
from kestor.tavi.corpus.events import NodeKind
from kestor.tavi.corpus.graph import between, draw, export, merge, page, store
from kestor.tavi.corpus.graph import build as graph_build
from kestor.tavi.corpus.graph.between import Network
from kestor.tavi.corpus.graph.resolve import ResolveOptions
from kestor.tavi.corpus.graph.update import Run, add_runs
from kestor.tavi.corpus.graph.view import View
from kestor.tavi.extractor.force import ForceExtractor


def rel(source: Any, target: Any, strength: Any, label: str = "因果") -> dict[str, Any]:
    # A reason with U+2028, which JSON written unescaped holds as it is: a line must not end there.
    return {
        "source": source,
        "source_meta": "",
        "rel": label,
        "target": target,
        "target_meta": "",
        "strength": strength,
        "strength_reason": "文中\u2028明言",
    }


def ok(id_: Any, relations: list[dict[str, Any]], force: str = "剧烈") -> dict[str, Any]:
    result = {"relations": relations, "graph": {}, "force": force}
    return {"id": id_, "status": "ok", "result": result, "attempts": 2, "error": None}


PARTS = [
    [
        ok(1, [rel("暴雨", "洪水", 0.1), rel("洪水", "停电", 0.5)]),
        ok(2, [rel("暴雨。", "洪水", 0.2), rel(" 暴雨", "洪水", 0.3, "导致")], force="中等"),
        {"id": 3, "status": "failed", "result": None, "attempts": 4, "error": "HTTP 503"},
    ],
    [ok("1", [rel("ＡＢＣ", "洪水", 0.9), rel("ABC！", "台风“海葵”", 1)]), ok("b", [rel("…", "洪水", 0.4)])],
    [ok(4, [rel("洪水", "洪水", 0.6), rel("停电", "暴雨", 1.0)])],
]
# The float sum of 0.1, 0.2 and 0.3 over three is 0.20000000000000004: the mean must not drift.
NODES = [(1, "暴雨", 3, 4), (2, "洪水", 4, 6), (3, "停电", 2, 2), (4, "ＡＢＣ", 1, 2), (5, "台风“海葵”", 1, 1)]
# A built graph names an event as its spelling reads once normalised: ＡＢＣ is ABC there.
NAMED = [(number, "ABC" if name == "ＡＢＣ" else name, *figures) for number, name, *figures in NODES]
EDGES = [
    (1, 2, 3, 2, 0.2, 0.3, {"因果": 2, "导致": 1}, {"剧烈": 1, "中等": 1}),
    (2, 3, 1, 1, 0.5, 0.5, {"因果": 1}, {"剧烈": 1}),
    (4, 2, 1, 1, 0.9, 0.9, {"因果": 1}, {"剧烈": 1}),
    (4, 5, 1, 1, 1.0, 1.0, {"因果": 1}, {"剧烈": 1}),
    (2, 2, 1, 1, 0.6, 0.6, {"因果": 1}, {"剧烈": 1}),
    (3, 1, 1, 1, 1.0, 1.0, {"因果": 1}, {"剧烈": 1}),
]
NODE_KEYS = ("id", "name", "articles", "relations")
EDGE_KEYS = ("source", "target", "count", "articles", "strength_mean", "strength_max", "labels", "forces")


def write_output(directory: Path, parts: list[list[Any]] = PARTS) -> Path:
    directory.mkdir()
    for number, lines in enumerate(parts):
        text = "".join(f"{line if isinstance(line, str) else json.dumps(line, ensure_ascii=False)}\n" for line in lines)
        (directory / f"part-{number:05d}.jsonl").write_text(text, encoding="utf-8")
    return directory


def records(document: dict[str, Any]) -> tuple[list[tuple[Any, ...]], list[tuple[Any, ...]]]:
    """The events and the relations between them, without the classes and the is-a edges."""
    return (
        [tuple(node[key] for key in NODE_KEYS) for node in document["nodes"] if node.get("kind", "event") == "event"],
        [
            tuple(edge[key] for key in EDGE_KEYS)
            for edge in document["edges"]
            if edge.get("type", "relation") == "relation"
        ],
    )


@pytest.fixture(scope="module")
def cluster():
    from distributed import Client, LocalCluster

    with (
        LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as running,
        Client(running) as client,
    ):
        client.wait_for_workers(2)
        yield running.scheduler_address


def stored_view(evidence: Any, path: Path) -> View:
    """The events of these part files' evidence, each key its own, read from a store of them."""
    connection = store.create(path, {})
    with store.writing(connection):
        add_runs(connection, [Run("out", evidence)], ResolveOptions.parse("exact", cache=None))
    return View(connection, NodeKind.EVENT)


def test_merge_meets_names_counts_and_averages_exactly_whatever_the_grouping(tmp_path):
    paths = merge.part_files(write_output(tmp_path / "out"))
    whole, one_by_one = merge.merge_in_process(paths), merge.merge_in_process(paths, files_per_task=1)
    documents = []
    for number, evidence in enumerate((whole, one_by_one)):
        view = stored_view(evidence, tmp_path / f"{number}.duckdb")
        export.write_node_link(view, tmp_path / "graph.json")
        documents.append(json.loads((tmp_path / "graph.json").read_text(encoding="utf-8")))
    assert documents[0] == documents[1]
    assert records(documents[0]) == (NODES, EDGES)
    assert (whole.articles, whole.failed, whole.relations, whole.unnamed) == (5, 1, 9, 1)
    summary = export.summary_of(view, "out")
    assert summary["largest_component"] == {"events": 5, "edges": 6} and summary["self_loops"] == 1
    assert [(event["name"], event["degree"]) for event in summary["top_events"][:2]] == [("洪水", 5), ("暴雨", 2)]

    # A causara run's relations alone: no force words.
    causara = merge.merge_in_process(merge.part_files(write_output(tmp_path / "causara", [[causara_line(1)]])))
    assert (causara.mode, causara.article_forces, len(causara.article)) == ("causara", [None], 1)


def command(out: Path, output: Path, cluster: str, *extra: str) -> int:
    return main(["graph", str(out), "--output", str(output), "--scheduler", cluster, "--quiet", *extra])


def test_graph_dir_formats_agree_and_only_a_graph_dir_is_replaced(cluster, tmp_path, monkeypatch, capsys):
    out, graph_dir = write_output(tmp_path / "out"), tmp_path / "graph"
    assert command(out, graph_dir, cluster) == 0
    document = json.loads((graph_dir / "graph.json").read_text(encoding="utf-8"))
    assert records(document) == (NAMED, EDGES)
    from_json = nx.node_link_graph(document, edges="edges")
    from_graphml = nx.read_graphml(graph_dir / "graph.graphml", node_type=int)
    for edge in from_graphml.edges.values():
        if edge["type"] == "is_a":
            continue
        edge.update(
            labels=json.loads(edge["labels"]),
            forces=json.loads(edge["forces"]),
            article_ids=json.loads(edge["article_ids"]),
        )
    for node in from_graphml.nodes.values():
        node.update(aliases=json.loads(node["aliases"]))
    for view in ("nodes", "edges"):
        assert list(getattr(from_graphml, view)(data=True)) == list(getattr(from_json, view)(data=True))
    import pyarrow.parquet as parquet

    nodes, edges = (parquet.read_table(graph_dir / f"{part}.parquet").to_pylist() for part in ("nodes", "edges"))
    for edge in edges:
        edge.update(labels=json.loads(edge["labels"]), forces=json.loads(edge["forces"]))
    assert records({"nodes": nodes, "edges": edges}) == (NAMED, EDGES)
    summary = json.loads((graph_dir / "summary.json").read_text(encoding="utf-8"))
    assert summary["picture"] == {"file": "top-events.png", "events": 5, "font": "Noto Sans SC", "warning": None}
    assert (graph_dir / "top-events.png").read_bytes().startswith(b"\x89PNG")
    assert capsys.readouterr().out.splitlines()[-2:] == [
        f"picture: {graph_dir / 'top-events.png'}",
        f"page: {graph_dir / 'index.html'} ({summary['page']['bytes'] / 2**20:.1f} MiB)",
    ]

    # A second run replaces it whole; without a Chinese font it says so instead of failing. The Parquet files are
    # the store's own copies, which need no other library.
    monkeypatch.setattr(draw, "chinese_font", lambda: None)
    assert command(out, graph_dir, cluster) == 0
    assert sorted(path.name for path in graph_dir.iterdir()) == [
        "aliases.csv",
        "aliases.parquet",
        "classes.parquet",
        "edges.parquet",
        "graph.duckdb",
        "graph.graphml",
        "graph.json",
        "index.LICENSE.txt",
        "index.html",
        "nodes.parquet",
        "summary.json",
        "top-events.png",
    ]
    err = capsys.readouterr().err
    assert f"pip install {draw.FONT_PACKAGE}" in err
    assert [path.name for path in tmp_path.iterdir() if path.name.startswith(".")] == []

    # A graph directory where the run's output belongs is told apart, naming no option that was not given.
    assert command(graph_dir, tmp_path / "again", cluster) == 2
    assert "graph directory, not a corpus run's output: a graph is built from the OUT_DIR" in capsys.readouterr().err

    # Another's directory, or a graph directory someone put a file of their own into, is left as it is.
    for foreign in (out, tmp_path / "notes", graph_dir):
        foreign.mkdir(exist_ok=True)
        (foreign / "mine.txt").write_text("keep")
        before = sorted((path.name, path.stat().st_mtime_ns) for path in foreign.iterdir())
        assert command(out, foreign, cluster) == 2
        assert sorted((path.name, path.stat().st_mtime_ns) for path in foreign.iterdir()) == before
        assert "did not write (mine.txt" in capsys.readouterr().err

    monkeypatch.setattr(graph_build, "write_graphml", lambda *args: 1 / 0)
    assert command(out, tmp_path / "new", cluster) == 3
    assert capsys.readouterr().err == "error: ZeroDivisionError: division by zero (--verbose shows where)\n"
    assert not (tmp_path / "new").exists()

    # An installation without the page's drawing library (a source tree never built) ends before the merge.
    monkeypatch.setattr(page, "LIBRARY_SCRIPT", "absent.js")
    assert command(out, tmp_path / "new", cluster) == 2
    assert "install kestor-tavi-extractor with pip" in capsys.readouterr().err
    assert not (tmp_path / "new").exists()


def causara_line(id_: Any) -> dict[str, Any]:
    return {"id": id_, "status": "ok", "result": [rel("暴雨", "洪水", 0.5)], "attempts": 1, "error": None}


BAD_OUTPUTS = {
    "an input file": ([[{"id": 9, "text": "暴雨导致洪水。"}]], "part-00003.jsonl:1: status must be one of ok, failed"),
    "not JSON": ([['{"id": 9, "status": "ok"', ok(10, [])]], "part-00003.jsonl:1: not JSON"),
    "a linqor line": (
        [[ok(9, []), {"id": 10, "status": "ok", "result": {"related": True, "reason": ""}}]],
        "part-00003.jsonl:2: a line of a linqor run",
    ),
    "a causara line among articles lines": (
        [[causara_line(9)]],
        "part-00003.jsonl:1: a line of a causara run, while {out}/part-00000.jsonl:1 is a line of an articles run",
    ),
    "an id in two part files": (
        [[ok(9, []), ok("b", [])]],
        'part-00003.jsonl:2: id "b" is also at {out}/part-00001.jsonl:2',
    ),
    "an id twice in a file": ([[ok(9, []), ok(9, [])]], "part-00003.jsonl:2: id 9 is also at {out}/part-00003.jsonl:1"),
    "a strength that is not a number": (
        [[ok(9, [rel("暴雨", "洪水", "0.5")])]],
        "part-00003.jsonl:1: relation 0: 'strength' must be a finite number, not a string",
    ),
}


@pytest.mark.parametrize("case", BAD_OUTPUTS)
def test_bad_output_is_refused_naming_file_and_line(cluster, tmp_path, capsys, case):
    extra, message = BAD_OUTPUTS[case]
    out = write_output(tmp_path / "out", PARTS + extra)
    assert command(out, tmp_path / "graph", cluster) == 2
    err = capsys.readouterr().err
    assert err.startswith(f"error: {out}/{message.format(out=out)}") and err.count("\n") == 1
    assert sorted(path.name for path in tmp_path.iterdir()) == ["out"]


def network(*edges: tuple[str, str]) -> Network:
    names = list(dict.fromkeys(name for edge in edges for name in edge))
    keys = {name: number for number, name in enumerate(names)}
    return Network(names, keys, [(keys[source], keys[target], 0.5) for source, target in edges])


def ladder(rungs: int) -> list[tuple[str, str]]:
    """2**rungs paths from a0 to a{rungs}: two ways over each rung."""
    steps = [(f"a{i}", f"u{i}", f"a{i + 1}") for i in range(rungs)] + [
        (f"a{i}", f"d{i}", f"a{i + 1}") for i in range(rungs)
    ]
    return [edge for start, middle, end in steps for edge in ((start, middle), (middle, end))]


def test_paths_between_two_events_are_counted_before_any_is_sent():
    # A cycle P <-> Q: Q -> P is on no path from A to B, nor is R, which leads nowhere.
    cyclic = network(("A", "P"), ("P", "Q"), ("Q", "P"), ("Q", "B"), ("A", "Q"), ("P", "R"), ("B", "A"))
    graph, paths = subgraph_between(cyclic, "A", "B")
    assert paths == 2
    assert [(e["src_node"]["id"], e["dest_node"]["id"]) for e in graph["edges"]] == [(1, 2), (2, 3), (3, 4), (1, 3)]
    assert [node["name"] for node in graph["nodes"]] == ["A", "P", "Q", "B"]
    # Listed for the page as chains of nodes, the shortest first; a walk that gives up says so.
    ends = [(e["src_node"]["id"], e["dest_node"]["id"]) for e in graph["edges"]]
    assert between.simple_paths(ends, 1, 4, 5) == ([[1, 3, 4], [1, 2, 3, 4]], False)
    assert between.simple_paths(ends, 1, 4, 1) == ([[1, 3, 4]], True)
    rungs = network(*ladder(9))
    listed, stopped = between.simple_paths([edge[:2] for edge in rungs.edges], 0, rungs.keys["a9"], 512)
    assert (len({tuple(path) for path in listed}), len(listed[0]), stopped) == (512, 19, False)
    assert subgraph_between(network(*ladder(9)), "a0", "a9")[1] == 512
    with pytest.raises(ValueError, match=r"^1,024 paths from 'a0' to 'a10', beyond --max-paths 1,000: raise it"):
        subgraph_between(network(*ladder(10)), "a0", "a10")
    with pytest.raises(ValueError, match=r"^more than 1,000 paths from 'a0' to 'a10'"):
        subgraph_between(network(*ladder(10), ("a5", "a2")), "a0", "a10")
    with pytest.raises(
        ValueError, match=r"no event '暴' in the graph \(compared as '暴'\); events whose names hold it: 暴雨$"
    ):
        subgraph_between(network(("暴雨", "洪水")), "暴", "洪水")
    for first, second, problem in (("B", "B。", "are the same event"), ("B", "A", "no path from 'B' to 'A'")):
        with pytest.raises(ValueError, match=problem):
            subgraph_between(network(("A", "B")), first, second)


def test_the_subgraph_is_what_the_force_extractor_walks(cluster, endpoint, tmp_path, capsys):
    out, graph_dir = write_output(tmp_path / "out"), tmp_path / "graph"
    counts = merge.merge_in_process(merge.part_files(out))
    graph, paths = subgraph_between(counts, " ＡＢＣ", "停电。")
    assert paths == 1 and graph["nodes"] == [
        {"id": 2, "name": "洪水"},
        {"id": 3, "name": "停电"},
        {"id": 4, "name": "ＡＢＣ"},
    ]
    assert graph["edges"][1] == {"src_node": {"id": 4}, "dest_node": {"id": 2}, "meta": {"strength": 0.9}}
    force = ForceExtractor(endpoint.config(), "判断影响力度。", FORCE_EXAMPLES, "复核。", REVIEW_EXAMPLES)
    endpoint.queue(extraction_answer(("force", "ＡＢＣ", {"final_force": "剧烈"})))
    assert force.predict(graph) == "剧烈"
    assert endpoint.questions == [
        "图谱数据:\n起点: ＡＢＣ\n终点: 停电\n\n路径1:\n  ＡＢＣ -> 洪水(0.9)\n  洪水 -> 停电(0.5)"
    ]

    # The command, from the graph directory: it writes the same graph data (the events named as they read once
    # normalised), and asks at once with --force.
    named = json.loads(json.dumps(graph, ensure_ascii=False).replace("ＡＢＣ", "ABC"))
    assert command(out, graph_dir, cluster) == 0
    capsys.readouterr()
    config = tmp_path / "config.json"
    example = [{"text": "暴雨", "extractions": []}]
    force_section = {"prompt_description": "判断影响力度。", "examples": example}
    force_section |= {"review_prompt_description": "复核。", "review_examples": example}
    config.write_text(json.dumps({**endpoint.config(), "force": force_section}, ensure_ascii=False))
    args = ["graph", str(graph_dir), "--between", "ABC", "停电", "--output", str(tmp_path / "ab.json")]
    endpoint.queue(extraction_answer(("force", "ＡＢＣ", {"final_force": "轻微"})), Reply(status=500))
    assert main([*args, "--force", "--config", str(config)]) == 0
    assert json.loads((tmp_path / "ab.json").read_text(encoding="utf-8")) == named
    assert capsys.readouterr().out.splitlines() == [
        f"1 path from ABC to 停电: 3 events, 2 edges; written to {tmp_path / 'ab.json'}",
        "force of ABC on 停电: 轻微",
    ]
    assert main([*args, "--force", "--config", str(config)]) == 1
    assert capsys.readouterr().err.startswith("error: the force extractor's call failed: ")
    assert len(endpoint.questions) == 3

    # From the output directory, merged first: the same graph data.
    assert main([*args[:1], str(out), *args[2:-1], str(tmp_path / "again.json"), "--scheduler", cluster]) == 0
    assert json.loads((tmp_path / "again.json").read_text(encoding="utf-8")) == named


README = Path(__file__).resolve().parents[2] / "README.md"


def readme_table(heading: str) -> dict[str, list[str]]:
    """README's table whose first column is headed `heading`: by each name its first cell gives (backquotes off; a
    cell may name several), the other cells."""
    text = README.read_text(encoding="utf-8")
    lines = text[text.index(f"| {heading} |") :].splitlines()
    rows = {}
    for line in lines[2:]:
        if not line.lstrip().startswith("|"):
            break
        cells = [cell.strip() for cell in re.split(r"(?<!\\)\|", line.strip())[1:-1]]
        for name in cells[0].split(", "):
            rows[name.strip("`")] = cells[1:]
    return rows


def test_readme_tables_say_what_a_run_and_a_build_write(tmp_path):
    import pyarrow.parquet as parquet

    usage = {"calls": 2, "from_cache": 0, "prompt_tokens": 9, "completion_tokens": 3, "cached_prompt_tokens": 0}
    result = {"relations": [rel("暴雨", "洪水", 0.5)], "graph": {}, "force": "剧烈"}
    lines = [
        output.line("a", "ok", result, 2, None, usage=usage | {"unreported": 0}, date="2024-07-01", text="暴雨致洪水"),
        output.line(1, "failed", None, 3, "HTTP 503", "server", usage=usage, date="2024-07-02"),
    ]
    out = tmp_path / "out"
    out.mkdir()
    (out / "part-00000.jsonl").write_text("\n".join(lines) + "\n", encoding="utf-8")
    graph_build.build_event_graph(out, tmp_path / "graph")

    # Both ways: every column, key and field written is in README's table, and every one there is written.
    assert set(readme_table("part file key")) == {key for text in lines for key in json.loads(text)}
    summary = json.loads((tmp_path / "graph" / "summary.json").read_text(encoding="utf-8"))
    assert set(readme_table("summary.json key")) == set(summary)
    for name in ("nodes", "edges", "aliases", "classes"):
        schema = parquet.read_schema(tmp_path / "graph" / f"{name}.parquet")
        written = {field.name: re.sub(r"<\w+: ", "<", str(field.type)) for field in schema}
        assert {column: cells[0] for column, cells in readme_table(f"{name}.parquet column").items()} == written
