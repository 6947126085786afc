"""An installed wheel at work: run by `make test-wheels` with the interpreter of a fresh venv holding only the wheel
and its dependencies.

All four modules must load from that venv, not from a source tree, and each extractor must answer one `predict`
through the real extraction library and OpenAI client, against the scripted endpoint on 127.0.0.1. The page's drawing
library, which the build prepares, must be in the wheel too.
"""

from __future__ import annotations

import logging
import sys
import sysconfig
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))

from scripted_endpoint import ScriptedEndpoint, answers_by_keyword, extraction_answer

from kestor.tavi.corpus.graph import page
from kestor.tavi.extractor import causara, force, linqor, samplar
from kestor.tavi.extractor.samplar import PromptExample, PromptExtraction


class Errors(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.ERROR)
        self.records: list[logging.LogRecord] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.records.append(record)


def main() -> int:
    site = Path(sysconfig.get_path("platlib")).resolve()
    for module in (samplar, causara, linqor, force):
        where = Path(module.__file__).resolve()
        assert where.is_relative_to(site) and where.suffix == ".so", f"{module.__name__} loaded from {where}"

    # The page's drawing library is the build's work, not a dependency's: the wheel carries it and its licence.
    library = page.find_library()
    assert "sigma.js and graphology" in library.script and "MIT License" in library.licence, library.licence

    errors = Errors()
    logging.getLogger("kestor.tavi.extractor").addHandler(errors)
    answers = answers_by_keyword(
        [
            ("图谱数据:", extraction_answer(("force", "暴雨 -> 洪水", {"final_force": "剧烈"}))),
            (
                "地震",
                extraction_answer(
                    ("relation", "地震导致停电", {"source": "地震", "target": "停电", "strength": "0.9"})
                ),
            ),
            ("降息", extraction_answer(("pc", "降息后贷款增加", {"related": "true", "reason": "降息刺激贷款"}))),
        ]
    )
    examples = [
        PromptExample("暴雨导致洪水。", [PromptExtraction("暴雨导致洪水", {"source": "暴雨", "target": "洪水"})])
    ]
    graph = {
        "nodes": [{"id": 1, "name": "暴雨"}, {"id": 2, "name": "洪水"}],
        "edges": [{"src_node": {"id": 1}, "dest_node": {"id": 2}, "meta": {"strength": 0.8}}],
    }

    with ScriptedEndpoint(answers) as endpoint:
        config = endpoint.config()
        relations = causara.CausaraExtractor(config, "抽取因果关系。", examples).predict("地震导致停电。")
        result = linqor.LinqorExtractor(config, "判断 PC 关系。", examples).predict("降息后贷款增加。")
        word = force.ForceExtractor(config, "判断影响力度。", examples, "复核。", examples).predict(graph, "文章")

    assert [(r["source"], r["target"], r["strength"]) for r in relations] == [("地震", "停电", 0.9)], relations
    assert result == {"related": True, "reason": "降息刺激贷款"}, result
    assert word == "剧烈", word
    assert len(endpoint.requests) == 3 and not errors.records, [r.getMessage() for r in errors.records]
    print(
        f"{Path(samplar.__file__).parent}: four modules loaded, three answers from the scripted endpoint; "
        f"the page's library: {len(library.script):,} characters"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
