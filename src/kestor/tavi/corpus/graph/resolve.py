"""The names' events resolved (see `events`), with what the resolver was told: `--merge LEVEL[/FALLBACK]`, the user's
word for how far names are resolved, is read here alone (`ResolveOptions.parse`), and what decides how names resolve
is kept as a recipe (`recipe`), which a store records so that every run it adds is resolved the same way.

Where a cluster runs the merge of the part files, it runs what parts well of the resolving too: the normal forms and
the names' parts by partition of the names, and the n-gram candidate search by block of names (each block against
all). The clustering of the scored pairs is global and runs in this process, as does the embeddings'
nearest-neighbour search (usearch uses every core).
"""

from __future__ import annotations

import contextlib
import hashlib
import json
import os
import uuid
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, TypeVar

from ..config import ResolveConfig, load_resolve_config
from ..events import (
    LEVELS,
    MODEL_FREE,
    Level,
    Lexicon,
    LexiconError,
    Override,
    OverridesError,
    Resolution,
    Settings,
    read_overrides,
)
from ..events import resolve as resolve_names
from ..events.judge import judge_by
from ..events.lexicon import shipped_table
from ..events.normal import normalize
from ..events.polarity import Polarity, PolarityError
from ..events.similar import NgramIndex, candidate_block, unique_pairs
from ..exits import ConfigError, GraphInputError
from .models import Asking, EmbeddingsClient, JudgeClient, ModelFailed, asking

T = TypeVar("T")
NAMES_PER_TASK = 50_000
ROWS_PER_SEARCH = 50_000


@dataclass
class ResolveOptions:
    level: Level = MODEL_FREE
    fallback: Level | None = None
    """The level to resolve at when the model-backed one cannot be reached; none: such a failure ends the build."""
    overrides: str | os.PathLike[str] | None = None
    embeddings: str | None = None
    """The embeddings model's name, asked at the endpoint of `config`."""
    config: str | os.PathLike[str] | None = None
    judge_max: int = 200
    cache: Path | None = None
    """The answer cache file that keeps what a model gave; None: nothing kept."""
    recipe: dict[str, Any] | None = None
    """What a store recorded (see `recipe`): its lexicon, polarity and overrides, where no file names them."""

    @classmethod
    def parse(cls, text: str | None, **others: Any) -> ResolveOptions:
        """From `--merge LEVEL` or `--merge LEVEL/FALLBACK`; None: the default, which is the meaning level where
        `embeddings` names a model. A level that asks no model beside `embeddings` is refused."""
        embeddings = others.get("embeddings")
        if text is None:
            return cls(Level.MEANING if embeddings else MODEL_FREE, None, **others)
        names = text.split("/", 1)
        for name in names:
            if name not in LEVELS:
                raise GraphInputError(f"--merge {text}: {name!r} is not a level: one of {', '.join(LEVELS)}")
        level, fallback = Level(names[0]), Level(names[1]) if len(names) > 1 else None
        if fallback is not None and fallback.needs_model:
            raise GraphInputError(f"--merge {text}: the fallback is a level without a model: exact, normal or similar")
        if embeddings and not level.needs_model:
            raise GraphInputError(f"--embeddings is for --merge meaning or judge; --merge {text} asks no model")
        return cls(level, fallback, **others)


@dataclass
class Resolved:
    resolution: Resolution
    level: Level
    warnings: list[str]
    usage: dict[str, Any]


def resolve_keys(
    keys: list[str],
    options: ResolveOptions,
    client: Any = None,
    *,
    related: tuple[Any, Any] | None = None,
    adjust: Callable[[Settings], None] | None = None,
) -> Resolved:
    """The events of these event keys, resolved as `options` say, the keys that a relation joins (two arrays of
    their indices, a pair a position) never one event (`adjust` may change the settings made of them: what a store
    already read of its names)."""
    settings, resolve_config = _settings(options, client)
    settings.related = related
    if adjust is not None:
        adjust(settings)
    warnings: list[str] = []
    level = options.level
    usage: dict[str, Any] = {}
    with contextlib.ExitStack() as stack:
        if settings.runs(Level.MEANING):
            _ask_models(settings, options, resolve_config, stack.enter_context(asking(options.cache)), usage)
        try:
            resolution = resolve_names(keys, settings)
        except ModelFailed as error:
            if options.fallback is None:
                raise ModelFailed(f"--merge {options.level}: {error}") from None
            warnings.append(f"--merge {options.level} failed ({error}): resolved at --merge {options.fallback} instead")
            level = settings.level = options.fallback
            resolution = resolve_names(keys, settings)
        except OverridesError as error:
            raise GraphInputError(str(error)) from None
    return Resolved(resolution, level, warnings, {name: figures() for name, figures in usage.items()})


def recipe(options: ResolveOptions) -> dict[str, Any]:
    """What decides how names resolve, as data: the level, the model of the meaning tier, the lexicon and polarity
    beside the shipped ones, the judge's prompt (digested) and how many pairs it is asked, the overrides, and a
    digest of the rules the package ships. Two runs resolved by equal recipes are resolved alike."""
    resolve_config = load_resolve_config(options.config) if options.config is not None else None
    recorded = options.recipe or {}
    judging = options.level.runs(Level.JUDGE)
    judge = None
    if judging and resolve_config is not None and resolve_config.judge is not None:
        judge = _digest(json.dumps(vars(resolve_config.judge), ensure_ascii=False, sort_keys=True, default=repr))
    return {
        "merge": str(options.level),
        "embeddings": options.embeddings if options.level.needs_model else None,
        "judge": judge,
        "judge_max": options.judge_max if judging else None,
        "lexicon": resolve_config.lexicon if resolve_config is not None else recorded.get("lexicon", {}),
        "polarity": resolve_config.polarity if resolve_config is not None else recorded.get("polarity", {}),
        "overrides": [[item.first, item.second, item.same] for item in _overrides(options)],
        "rules": shipped_rules(),
    }


def fingerprint(settings: dict[str, Any]) -> str:
    return _digest(json.dumps(settings, ensure_ascii=False, sort_keys=True))


def shipped_rules() -> str:
    """A digest of the tables the resolver ships: a package whose rules changed resolves names otherwise."""
    return _digest(json.dumps([shipped_table(name) for name in SHIPPED_TABLES], ensure_ascii=False, sort_keys=True))


SHIPPED_TABLES = ("lexicon.json", "polarity.json", "grammar.json", "kinds.json")


def _digest(text: str) -> str:
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()[:32]


def _overrides(options: ResolveOptions) -> list[Override]:
    try:
        if options.overrides is not None:
            return read_overrides(options.overrides)
    except OverridesError as error:
        raise GraphInputError(str(error)) from None
    recorded = (options.recipe or {}).get("overrides", [])
    return [Override(first, second, same, "the store's overrides") for first, second, same in recorded]


def check_options(options: ResolveOptions) -> None:
    """What can be refused before the part files are merged: the overrides' syntax, the configuration, the level's
    needs."""
    _settings(options, None)


def _settings(options: ResolveOptions, client: Any) -> tuple[Settings, ResolveConfig | None]:
    resolve_config = load_resolve_config(options.config) if options.config is not None else None
    recorded = options.recipe or {}
    try:
        lexicon = Lexicon.shipped(resolve_config.lexicon if resolve_config else recorded.get("lexicon"))
        polarity = Polarity.shipped(resolve_config.polarity if resolve_config else recorded.get("polarity"))
    except LexiconError as error:
        raise ConfigError(f"{options.config or 'the store'}: merge.lexicon: {error}") from None
    except PolarityError as error:
        raise ConfigError(f"{options.config or 'the store'}: {error}") from None
    overrides = _overrides(options)
    settings = Settings(
        level=options.level,
        lexicon=lexicon,
        polarity=polarity,
        overrides=overrides,
        judge_max=options.judge_max,
        threads=os.cpu_count() or 1,
    )
    if client is not None:
        settings.normalize = lambda names: _by_partition(client, normalize, names, "normal")
        settings.parse = lambda parser, forms: _by_partition(client, parser.parse, forms, "parts")
        settings.search = lambda index: _search_on_cluster(client, index, settings)
    if settings.runs(Level.MEANING):
        if not options.embeddings:
            raise GraphInputError(f"--merge {options.level} needs --embeddings MODEL (and --config for its endpoint)")
        if resolve_config is None or resolve_config.model is None:
            raise GraphInputError("--embeddings needs --config CONFIG.json with the endpoint's base_url and api_key")
    if settings.runs(Level.JUDGE) and resolve_config is not None and resolve_config.judge is None:
        raise ConfigError(f'{options.config}: --merge judge needs the "merge.judge" prompt and examples')
    return settings, resolve_config


def _ask_models(
    settings: Settings,
    options: ResolveOptions,
    resolve_config: ResolveConfig | None,
    session: Asking,
    usage: dict[str, Any],
) -> None:
    """The model-backed tiers' clients into `settings`, each one's figures into `usage` (as functions: read once
    the tiers ran)."""
    assert resolve_config is not None and resolve_config.model is not None and options.embeddings
    embedder = EmbeddingsClient(resolve_config.model, options.embeddings, session)
    settings.embed = embedder
    usage["embeddings"] = lambda: {"model": options.embeddings, **vars(embedder.usage)}
    if settings.runs(Level.JUDGE):
        judge = JudgeClient(resolve_config, session)
        settings.judge = judge_by(judge)
        usage["judge"] = lambda: {"model": judge.model, **judge.usage.as_dict()}


def _by_partition(client: Any, work: Callable[[list[str]], list[T]], names: Sequence[str], stage: str) -> list[T]:
    """`work` over the names, a task for each partition of them on the cluster; here when they are few."""
    if len(names) <= NAMES_PER_TASK:
        return work(list(names))
    token = uuid.uuid4().hex[:8]
    futures = [
        client.submit(work, list(names[start : start + NAMES_PER_TASK]), key=f"resolve-{stage}-{token}-{start}")
        for start in range(0, len(names), NAMES_PER_TASK)
    ]
    try:
        return [item for part in client.gather(futures) for item in part]
    finally:
        client.cancel(futures)


def _search_on_cluster(client: Any, index: NgramIndex, settings: Settings) -> tuple[Any, Any, Any]:
    import numpy as np

    rows = index.matrix.shape[0]
    token = uuid.uuid4().hex[:8]
    [shared] = client.scatter([index], broadcast=True)
    futures = [
        client.submit(
            candidate_block,
            shared,
            start,
            min(start + ROWS_PER_SEARCH, rows),
            settings.neighbours,
            settings.floor,
            key=f"resolve-search-{token}-{start}",
        )
        for start in range(0, rows, ROWS_PER_SEARCH)
    ]
    try:
        parts = client.gather(futures)
    finally:
        client.cancel([*futures, shared])
    if not parts:
        empty = np.zeros(0, dtype=np.int64)
        return empty, empty, np.zeros(0, dtype=np.float32)
    return unique_pairs(*(np.concatenate(column) for column in zip(*parts, strict=True)))
