"""The extractors of a configuration: the library's classes, or subclasses whose model is given another client (the
runner's, whose requests go through the asker: see asking), with their progress bars quieted where the caller
draws its own or none.

The library is not changed: the subclasses override the static `_build_model`, which the constructors call through
the class, and give the provider a client of their own.
"""

from __future__ import annotations

import functools
import types
from collections.abc import Callable
from typing import Any

from .asking.attempt import bounded_http_client
from .asking.client import GatedClient
from .config import REQUEST_KEYS, RunConfig

_progress_quieted = False


def build_extractors(config: RunConfig, classes: dict[str, type[Any]] | None = None) -> dict[str, Any]:
    """The extractors of the configuration's mode: the library's classes, or these (see `extractor_classes`)."""
    from kestor.tavi.extractor.samplar import PromptExample, PromptExtraction

    if classes is None:
        from kestor.tavi.extractor.causara import CausaraExtractor
        from kestor.tavi.extractor.force import ForceExtractor
        from kestor.tavi.extractor.linqor import LinqorExtractor

        classes = {"causara": CausaraExtractor, "linqor": LinqorExtractor, "force": ForceExtractor}

    def examples(items: list[dict[str, Any]] | None) -> list[PromptExample]:
        return [
            PromptExample(
                item["text"], [PromptExtraction(e["text"], dict(e["attrs"]), e["kind"]) for e in item["extractions"]]
            )
            for item in items or []
        ]

    extractors: dict[str, Any] = {}
    for name, prompts in config.prompts.items():
        model = dict(config.model)
        if name == "force":
            extractors[name] = classes["force"](
                model,
                prompts.prompt_description,
                examples(prompts.examples),
                prompts.review_prompt_description,
                examples(prompts.review_examples),
            )
        else:
            extractors[name] = classes[name](model, prompts.prompt_description, examples(prompts.examples))
    return extractors


@functools.cache
def runner_classes(call_timeout: float) -> dict[str, type[Any]]:
    """The extractor classes by name, each building its model for the runner: one HTTP attempt per request, bounded
    as a whole, every request through the asker of the call."""
    return extractor_classes(
        lambda name, client: GatedClient(
            client.with_options(max_retries=0, timeout=call_timeout, http_client=bounded_http_client(call_timeout))
        )
    )


def extractor_classes(client_for: Callable[[str, Any], Any]) -> dict[str, type[Any]]:
    """The extractor classes by name, each giving its model the client that `client_for(name, the provider's
    client)` returns."""
    from kestor.tavi.extractor.causara import CausaraExtractor
    from kestor.tavi.extractor.force import ForceExtractor
    from kestor.tavi.extractor.linqor import LinqorExtractor

    def subclass(name: str, base: type[Any]) -> type[Any]:
        def build_model(config: dict[str, Any]) -> Any:
            model = base._build_model(config)
            model._client = _with_request_options(client_for(name, model._client), config)
            # The chunks of a long text go one after another on the calling thread: each request then counts
            # against its own input, and the gate's calls in flight are all the calls there are.
            model.max_workers = 1
            return model

        return type(base.__name__, (base,), {"_build_model": staticmethod(build_model), "__module__": __name__})

    return {
        "causara": subclass("causara", CausaraExtractor),
        "linqor": subclass("linqor", LinqorExtractor),
        "force": subclass("force", ForceExtractor),
    }


class _RequestOptions:
    """Stands where the provider reads its OpenAI client: each chat request with the configuration's options, added
    before the client it wraps sees the request, so that they are in its answer cache's key as in what is sent."""

    def __init__(self, client: Any, options: dict[str, Any]) -> None:
        self._client = client
        self._options = options
        self.chat = types.SimpleNamespace(completions=types.SimpleNamespace(create=self._create))

    def _create(self, **params: Any) -> Any:
        return self._client.chat.completions.create(**{**params, **self._options})

    def __getattr__(self, name: str) -> Any:
        return getattr(self._client, name)


def _with_request_options(client: Any, config: dict[str, Any]) -> Any:
    options = {key: config[key] for key in REQUEST_KEYS if key in config}
    return _RequestOptions(client, options) if options else client


def quiet_progress_bars() -> None:
    """The extraction library draws a progress bar on stderr at every call; in a corpus run the driver draws one.

    The bar can only be switched off through an argument our extractors fix, so the library's factory for it is
    wrapped. A library without that factory is left as it is: its bars are noise, not a fault.
    """
    global _progress_quieted
    if _progress_quieted:
        return
    _progress_quieted = True
    try:
        from langextract import progress
    except ImportError:
        return
    original = getattr(progress, "create_extraction_progress_bar", None)
    if original is None:
        return

    @functools.wraps(original)
    def quiet(*args: Any, **kwargs: Any) -> Any:
        kwargs["disable"] = True
        return original(*args, **kwargs)

    progress.create_extraction_progress_bar = quiet


class Reviews:
    """Whether the force extractor's review is running: its requests go through the force extractor's model, a chunk
    a request as the force's own, and those who count them (an estimate, a batch's collection) tell them apart so."""

    def __init__(self, extractors: dict[str, Any]) -> None:
        self.running = False
        force = extractors.get("force")
        if force is not None:
            force._review_with_article = self._watched(force._review_with_article)

    def _watched(self, review: Callable[[str], Any]) -> Callable[[str], Any]:
        def watched(article_text: str) -> Any:
            self.running = True
            try:
                return review(article_text)
            finally:
                self.running = False

        return watched
