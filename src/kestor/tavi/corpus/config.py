"""The run's configuration file (the model endpoint, and the prompts and worked examples of each extractor) and the
run's settings from the command line.

Everything here is plain data that pickles cheaply: the driver checks the file once, and every worker process
builds its extractors from the same `RunConfig` and runs its tasks by the same `Settings`.
"""

from __future__ import annotations

import hashlib
import json
import os
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from .asking.policy import RetryPolicy
from .exits import ConfigError
from .inputs import describe, json_problem

MODES = ("causara", "linqor", "force", "articles")
# The extractors each mode drives, in the order it calls them.
EXTRACTORS_OF = {"causara": ("causara",), "linqor": ("linqor",), "force": ("force",), "articles": ("causara", "force")}

REQUEST_KEYS = ("extra_body", "extra_query", "extra_headers")
"""What the provider takes beyond the library's request, given to every chat request as the OpenAI client takes it:
fields of the body (a provider's switch for thinking, say), of the query, and headers."""
MODEL_KEYS = ("model", "base_url", "api_key", "api_key_env", "temperature", *REQUEST_KEYS)
# The body's fields the extraction library sets, or that the runner needs as they are (a whole answer at once).
LIBRARY_FIELDS = ("model", "messages", "temperature", "n", "stream")
TEXT_PROMPT_KEYS = ("prompt_description", "examples")
FORCE_PROMPT_KEYS = ("prompt_description", "examples", "review_prompt_description", "review_examples")
EXAMPLE_KEYS = ("text", "extractions")
EXTRACTION_KEYS = ("text", "attrs", "kind")
RESOLVE_SECTION = "merge"
"""The section the event graph's resolver reads (named after the graph's --merge); a run ignores it."""


@dataclass(frozen=True)
class Prompts:
    """The prompt descriptions and worked examples of one extractor, examples kept in their JSON form."""

    prompt_description: str
    examples: list[dict[str, Any]]
    review_prompt_description: str = ""
    review_examples: list[dict[str, Any]] | None = None


@dataclass(frozen=True)
class RunConfig:
    mode: str
    model: dict[str, Any]
    """What the extractors' constructors take as `config`: model, api_key, base_url, maybe temperature, and the
    request options (REQUEST_KEYS), which the library ignores and the runner's models add to each request."""
    prompts: dict[str, Prompts]
    """By extractor name: "causara", "linqor", "force"."""

    def cache_key(self) -> str:
        """Equal for equal configurations, so that a worker process builds its extractors once per run."""
        return json.dumps(
            [self.mode, self.model, {name: vars(p) for name, p in self.prompts.items()}],
            sort_keys=True,
            ensure_ascii=False,
            default=str,
        )

    def record(self) -> dict[str, Any]:
        """What decides the run's answers, as its output directory keeps it: the mode, the model, the temperature
        and a digest of each extractor's prompts and examples; neither the key nor the address."""
        prompts = {name: _digest(vars(p)) for name, p in sorted(self.prompts.items())}
        decides = {"model": self.model["model"], "temperature": self.model.get("temperature", 0.0), "prompts": prompts}
        # Headers carry keys and routing, never what is asked: only the body's and the query's options decide.
        decides |= {key: self.model[key] for key in ("extra_body", "extra_query") if key in self.model}
        return {"mode": self.mode, **decides, "fingerprint": _digest(decides)}


def _digest(value: Any) -> str:
    text = json.dumps(value, sort_keys=True, ensure_ascii=False, default=str)
    return "sha256:" + hashlib.sha256(text.encode()).hexdigest()


THREADS, CALL_TIMEOUT = 16, 120.0


@dataclass(frozen=True)
class Settings:
    """What every task of a run is run by: the configuration, where answers go, and the options of the command."""

    config: RunConfig
    out_dir: str
    run: str = "local"
    """Names the run's events and its rate shares."""
    threads: int = THREADS
    call_timeout: float = CALL_TIMEOUT
    policy: RetryPolicy = field(default_factory=RetryPolicy)
    rate: float | None = None
    """Requests per second of the whole cluster, if limited."""
    workers: int = 1
    """Workers when the run started: the first share of `rate`, before the driver says which workers have work."""
    cache: str | None = None
    """The answer cache's file; None: every call is asked."""
    keep_text: int = 0
    """Characters of each input's text kept on its output line."""
    carried: str | None = None
    """The file of what the run's batches answered that the cache does not hold (see batch.store), if any."""

    @property
    def topic(self) -> str:
        return f"kestor-corpus-{self.run}"


def load_config(path: str | os.PathLike[str], mode: str, environ: Mapping[str, str] | None = None) -> RunConfig:
    return parse_config(_document(path), mode, str(path), os.environ if environ is None else environ)


def _document(path: str | os.PathLike[str]) -> Any:
    where = str(path)
    try:
        text = Path(path).read_text(encoding="utf-8-sig")
    except OSError as error:
        raise ConfigError(f"{where}: cannot read: {error.strerror or error}") from None
    try:
        return json.loads(text)
    except json.JSONDecodeError as error:
        raise ConfigError(f"{where}:{error.lineno}: not JSON ({json_problem(error)})") from None


@dataclass(frozen=True)
class ResolveConfig:
    """What the event graph's resolver reads of a configuration file: the endpoint (for --embeddings and the
    judge), the "merge" section's "lexicon" (what is never one event, beside the shipped one), "polarity" (which way
    a happening goes, beside the shipped table) and "judge" prompt and examples."""

    model: dict[str, Any] | None
    lexicon: dict[str, Any]
    polarity: dict[str, Any]
    judge: Prompts | None


def load_resolve_config(path: str | os.PathLike[str], environ: Mapping[str, str] | None = None) -> ResolveConfig:
    check = _Checker(str(path))
    config = check.mapping(_document(path), "")
    section = check.mapping(config.get(RESOLVE_SECTION, {}), RESOLVE_SECTION)
    check.known_keys(section, f"{RESOLVE_SECTION}.", {"lexicon", "polarity", "judge"})
    model = _model(check, config, os.environ if environ is None else environ) if "model" in config else None
    judge = None
    if "judge" in section:
        judge = _prompts(
            check,
            check.mapping(section["judge"], f"{RESOLVE_SECTION}.judge"),
            f"{RESOLVE_SECTION}.judge.",
            review=False,
        )
    return ResolveConfig(
        model,
        check.mapping(section.get("lexicon", {}), f"{RESOLVE_SECTION}.lexicon"),
        check.mapping(section.get("polarity", {}), f"{RESOLVE_SECTION}.polarity"),
        judge,
    )


def parse_config(document: Any, mode: str, where: str, environ: Mapping[str, str]) -> RunConfig:
    if mode not in MODES:
        raise ConfigError(f"unknown mode {mode!r}: one of {', '.join(MODES)}")
    check = _Checker(where)
    config = check.mapping(document, "")
    extractors = EXTRACTORS_OF[mode]
    # A single-extractor mode reads its prompts from the top level or from a section named after the extractor, so
    # that one file with sections serves every mode.
    sectioned = len(extractors) > 1 or extractors[0] in config
    allowed = set(MODEL_KEYS) | set(MODES[:3]) | {RESOLVE_SECTION}
    if not sectioned:
        allowed |= set(FORCE_PROMPT_KEYS if mode == "force" else TEXT_PROMPT_KEYS)
    check.known_keys(config, "", allowed)

    model = _model(check, config, environ)
    prompts = {}
    for name in extractors:
        if sectioned:
            section = check.mapping(check.required(config, name), name)
            prefix = f"{name}."
        else:
            section, prefix = config, ""
        prompts[name] = _prompts(check, section, prefix, review=name == "force")
    return RunConfig(mode, model, prompts)


def _model(check: _Checker, config: dict[str, Any], environ: Mapping[str, str]) -> dict[str, Any]:
    model: dict[str, Any] = {
        "model": check.string(config, "model"),
        "api_key": _api_key(check, config, environ),
        "base_url": check.string(config, "base_url"),
    }
    if "temperature" in config:
        temperature = config["temperature"]
        if isinstance(temperature, bool) or not isinstance(temperature, (int, float)):
            raise check.error("temperature", "must be a number")
        model["temperature"] = float(temperature)
    for key in REQUEST_KEYS:
        if key in config:
            options = check.mapping(config[key], key)
            if key == "extra_body":
                taken = [field for field in LIBRARY_FIELDS if field in options]
                if taken:
                    raise check.error(
                        key,
                        f"must not set {', '.join(taken)}: the extraction library sets those (temperature: give "
                        '"temperature")',
                    )
            if key == "extra_headers":
                for name, value in options.items():
                    if not isinstance(value, str):
                        raise check.error(f"{key}.{name}", f"must be a string, not {describe(value)}")
            model[key] = options
    return model


def _api_key(check: _Checker, config: dict[str, Any], environ: Mapping[str, str]) -> str:
    if "api_key" in config and "api_key_env" in config:
        raise ConfigError(f'{check.where}: give "api_key" or "api_key_env", not both')
    if "api_key_env" in config:
        variable = check.string(config, "api_key_env")
        value = environ.get(variable, "")
        if not value:
            raise check.error("api_key_env", f"names the environment variable {variable!r}, which is not set")
        return value
    if "api_key" not in config:
        raise ConfigError(f'{check.where}: missing key "api_key" (or "api_key_env")')
    return check.string(config, "api_key")


def _prompts(check: _Checker, section: dict[str, Any], prefix: str, *, review: bool) -> Prompts:
    if prefix:
        check.known_keys(section, prefix, set(FORCE_PROMPT_KEYS if review else TEXT_PROMPT_KEYS))
    description = check.string(section, "prompt_description", prefix, allow_empty=True)
    examples = _examples(check, section, "examples", prefix)
    if not review:
        return Prompts(description, examples)
    return Prompts(
        description,
        examples,
        check.string(section, "review_prompt_description", prefix, allow_empty=True),
        _examples(check, section, "review_examples", prefix),
    )


def _examples(check: _Checker, section: dict[str, Any], key: str, prefix: str) -> list[dict[str, Any]]:
    examples = check.sequence(check.required(section, key, prefix), prefix + key)
    if not examples:
        # The extraction library refuses an empty list at every call, so each input would fail.
        raise check.error(prefix + key, "must hold at least one example")
    normalised = []
    for number, example in enumerate(examples):
        at = f"{prefix}{key}[{number}]"
        example = check.mapping(example, at)
        check.known_keys(example, at + ".", set(EXAMPLE_KEYS))
        extractions = []
        for index, extraction in enumerate(check.sequence(example.get("extractions", []), at + ".extractions")):
            inner = f"{at}.extractions[{index}]"
            extraction = check.mapping(extraction, inner)
            check.known_keys(extraction, inner + ".", set(EXTRACTION_KEYS))
            extractions.append(
                {
                    "text": check.string(extraction, "text", inner + ".", allow_empty=True),
                    "attrs": check.mapping(extraction.get("attrs", {}), inner + ".attrs"),
                    "kind": check.string(extraction, "kind", inner + ".", default="relation"),
                }
            )
        normalised.append(
            {"text": check.string(example, "text", at + ".", allow_empty=True), "extractions": extractions}
        )
    return normalised


class _Checker:
    def __init__(self, where: str) -> None:
        self.where = where

    def error(self, key: str, problem: str) -> ConfigError:
        return ConfigError(f'{self.where}: "{key}" {problem}')

    def required(self, mapping: dict[str, Any], key: str, prefix: str = "") -> Any:
        if key not in mapping:
            raise ConfigError(f'{self.where}: missing key "{prefix}{key}"')
        return mapping[key]

    def string(
        self,
        mapping: dict[str, Any],
        key: str,
        prefix: str = "",
        *,
        allow_empty: bool = False,
        default: str | None = None,
    ) -> str:
        value = mapping.get(key, default) if default is not None else self.required(mapping, key, prefix)
        if not isinstance(value, str):
            raise self.error(prefix + key, f"must be a string, not {describe(value)}")
        if not value and not allow_empty:
            raise self.error(prefix + key, "must not be empty")
        return value

    def mapping(self, value: Any, at: str) -> dict[str, Any]:
        if not isinstance(value, dict):
            subject = f'"{at}" must be' if at else "must hold"
            raise ConfigError(f"{self.where}: {subject} an object, not {describe(value)}")
        return value

    def sequence(self, value: Any, at: str) -> Sequence[Any]:
        if not isinstance(value, list):
            raise self.error(at, f"must be a list, not {describe(value)}")
        return value

    def known_keys(self, mapping: dict[str, Any], prefix: str, allowed: set[str]) -> None:
        for key in mapping:
            if key not in allowed:
                raise ConfigError(
                    f'{self.where}: unknown key "{prefix}{key}" (expected one of {", ".join(sorted(allowed))})'
                )
