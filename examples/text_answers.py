"""Answers read from the text itself, as a stand-in for a model: what the scripted endpoint says about any text.

The endpoint hands over the question together with the whole prompt (`Question.prompt`); the worked examples in the
prompt say what is asked and in which form: the extraction class and attribute names of their answers.

- Causal relations (examples with "source" and "target"): the events that the usual cue words join, a relation for
  each: "A导致B", "A引发B", "A造成B", "A使得B", "A带动B", "A推动B" ... (and their traditional forms), "受A影响，B",
  "由于A，B", "因为A，所以B". An event is the clause's words beside the cue; where a clause starts with its cue
  ("……，进而引发C"), its cause is the event before it, so chains come out as chains. The strength follows the cue.
- A PC relation (examples with "related"): related when the text joins two events so, with the reason.
- A force (examples with "final_force"): of an event graph (a question that starts "图谱数据:"), from its edges'
  strengths and how many there are; of an article (the review), from the words that tell how hard it hit.

Everything is deterministic: the same text gets the same answer, so a corpus of one's own gives a graph shaped like
its text. Only the standard library is used.
"""

from __future__ import annotations

import json
import re
from collections.abc import Iterator
from typing import Any

from scripted_endpoint import extraction_answer

# Cue words between a cause and its effect, with the strength they state.
JOINING = {
    "导致": 0.9,
    "導致": 0.9,
    "致使": 0.85,
    "造成": 0.85,
    "引发": 0.8,
    "引發": 0.8,
    "引起": 0.8,
    "诱发": 0.75,
    "誘發": 0.75,
    "使得": 0.75,
    "促使": 0.7,
    "加剧": 0.7,
    "加劇": 0.7,
    "推动": 0.65,
    "推動": 0.65,
    "带动": 0.65,
    "帶動": 0.65,
    "拉动": 0.6,
    "拉動": 0.6,
}
AFFECTED, BECAUSE, SINCE = 0.7, 0.85, 0.8
_JOINING = re.compile("|".join(sorted(JOINING, key=len, reverse=True)))
_AFFECTED = re.compile(r"^(.*?)受(.+?)影[响響]，?(.*)$")
_BECAUSE = re.compile(r"^(.*?)因[为為](.+?)，(?:所以|因此|因而)(.*)$")
_SINCE = re.compile(r"^(.*?)由[于於](.+?)，(.*)$")
_SENTENCES = re.compile(r"[^。！？；!?;\n]+")
_CLAUSES = re.compile(r"[，,：:]")
# Words that open a clause without naming anything: the event is the one before.
_OPENERS = (
    "这一",
    "此举",
    "进而",
    "進而",
    "从而",
    "從而",
    "继而",
    "繼而",
    "随后",
    "隨後",
    "随之",
    "隨之",
    "最终",
    "最終",
    "同时",
    "同時",
    "并且",
    "並且",
    "进一步",
    "進一步",
    "并",
    "並",
    "又",
    "也",
    "还",
    "還",
    "而",
    "则",
    "則",
    "这",
    "這",
    "此",
)
# Words between an event and its cue that say how, not what.
_MANNER = re.compile(r"(?:又|也|还|還|则|則|已|将|將|或将|或將|可能|直接|间接|間接|进一步|進一步|再次|随即|隨即)+$")
_BYLINE = re.compile(r"^[^（(]*[（(][^）)]*记者[^）)]*[）)]")
_TIMES = re.compile(r"^(?:昨天|今天|昨日|今日|近日|近期|日前|本周|上周|本月|上月|今年以来|今年|去年|目前|此前)的?")
FORCE_WORDS = ("轻微", "中等", "剧烈", "特别剧烈")
# Words of an article that tell how hard the events hit.
HARD = (
    "严重",
    "嚴重",
    "大面积",
    "全面",
    "暴跌",
    "暴涨",
    "停产",
    "停產",
    "停运",
    "中断",
    "中斷",
    "创历史",
    "历史新高",
    "历史新低",
    "重创",
    "瘫痪",
    "紧急",
    "大幅",
)


def answer(question: str) -> str:
    """The answer to a question of the scripted endpoint (the text after the prompt's last "Q:"), in the form
    the prompt's worked examples give."""
    prompt = getattr(question, "prompt", question)
    kind, keys = example_form(prompt)
    if "final_force" in keys:
        return extraction_answer(force_of(question, kind))
    found = list(relations(question))
    if "related" in keys:
        if not found:
            return extraction_answer(
                (kind, question[:40], {"related": "false", "reason": "文中没有连接两件事的因果提示词"})
            )
        source, target, cue, _, span = found[0]
        return extraction_answer((kind, span, {"related": "true", "reason": f"“{cue}”连接了{source}与{target}"}))
    if {"source", "target"} <= keys:
        items = []
        for source, target, cue, strength, span in found:
            attributes: dict[str, Any] = {"source": source, "target": target}
            if "rel" in keys:
                attributes["rel"] = "因果"
            attributes["strength"] = strength
            if "strength_reason" in keys:
                attributes["strength_reason"] = f"文中以“{cue}”连接两事件"
            items.append((kind, span, attributes))
        return extraction_answer(*items)
    return extraction_answer()


def example_form(prompt: str) -> tuple[str, set[str]]:
    """The extraction class and the attribute names of the worked examples' answers in a prompt."""
    examples = prompt.rsplit("Q: ", 1)[0]
    kind, keys = "relation", set()
    for block in re.findall(r"```json\s*(\{.*?\})\s*```", examples, re.DOTALL):
        try:
            extractions = json.loads(block).get("extractions", [])
        except (ValueError, AttributeError):
            continue
        for item in extractions:
            for name, value in item.items():
                if name.endswith("_attributes"):
                    keys |= set(value or {})
                else:
                    kind = name
    return kind, keys


def relations(text: str) -> Iterator[tuple[str, str, str, float, str]]:
    """(cause, effect, cue word, strength, the words they were read from) of each relation the text states."""
    seen = set()
    before = ""  # the event last named: what a clause that opens with its cue ("这导致……") goes on from
    for sentence in _SENTENCES.findall(text):
        found, before = _sentence_relations(sentence.strip(), before)
        for relation in found:
            if relation[0] and relation[1] and relation[0] != relation[1] and relation[:2] not in seen:
                seen.add(relation[:2])
                yield relation


def _sentence_relations(sentence: str, before: str) -> tuple[list[tuple[str, str, str, float, str]], str]:
    found = []
    for pattern, cue, strength in (
        (_AFFECTED, "受……影响", AFFECTED),
        (_BECAUSE, "因为……所以", BECAUSE),
        (_SINCE, "由于", SINCE),
    ):
        match = pattern.match(sentence)
        if match:
            _, cause, rest = match.groups()
            effect = _event(_CLAUSES.split(rest)[0])
            found.append((_event(cause), effect, cue, strength, sentence))
            before, sentence = effect, rest
            break
    for clause in _CLAUSES.split(sentence):
        parts = _JOINING.split(clause)
        cues = _JOINING.findall(clause)
        if not cues:
            before = _event(clause) or before
            continue
        cause = _event(_MANNER.sub("", parts[0])) or before
        for cue, part in zip(cues, parts[1:], strict=True):
            effect = _event(part)
            if cause and effect:
                found.append((cause, effect, cue, JOINING[cue], clause.strip()))
            cause = _event(_MANNER.sub("", part)) or cause
        before = cause
    return found, before


def _event(words: str) -> str:
    """The event that a clause's words name: its openers, times and particles left out (and a byline before)."""
    words = _BYLINE.sub("", words.strip())
    changed = True
    while changed and words and words not in _OPENERS:
        changed = False
        for opener in _OPENERS:
            if words.startswith(opener):
                words, changed = words[len(opener) :], True
                break
        trimmed = _TIMES.sub("", words)
        if trimmed != words:
            words, changed = trimmed, True
    if words in _OPENERS:
        return ""
    return words.removeprefix("了").removesuffix("等").strip()


def force_of(question: str, kind: str) -> tuple[str, str, dict[str, Any]]:
    """The force of an event graph's text, or (a review) of an article."""
    if question.startswith("图谱数据:"):
        start = re.search(r"起点: (.*)", question)
        end = re.search(r"终点: (.*)", question)
        edges = set(re.findall(r"^\s+(.+? -> .+?)(?:\((\d+(?:\.\d+)?)\))?$", question, re.MULTILINE))
        strengths = [float(strength) if strength else 0.5 for _, strength in edges]
        # Strong links, and many of them in a row, make a hard hit.
        score = sum(strengths) / len(strengths) * (1 + 0.15 * (len(strengths) - 1)) if strengths else 0.5
        level = 3 if score >= 1.0 else 2 if score >= 0.8 else 1 if score >= 0.6 else 0
        text = f"{start.group(1) if start else ''} -> {end.group(1) if end else ''}"
    else:
        level = min(3, sum(word in question for word in HARD))
        text = question[:40]
    return kind, text, {"final_force": FORCE_WORDS[level]}
