"""Building the model from the configuration dictionary, shared by every extractor class."""

from __future__ import annotations

import sys

import pytest
from langextract.core.exceptions import InferenceConfigError
from offline import OFFLINE_CONFIG

from kestor.tavi.extractor.causara import CausaraExtractor
from kestor.tavi.extractor.linqor import LinqorExtractor

EXTRACTORS = [CausaraExtractor, LinqorExtractor]


@pytest.mark.parametrize("cls", EXTRACTORS)
class TestBuildModel:
    def test_keywords_in_order_values_unconverted(self, cls, provider):
        temperature = object()
        model = cls._build_model({"base_url": "u", "api_key": 7, "model": "m", "temperature": temperature, "x": 1})
        assert isinstance(model, provider)
        assert list(model.kwargs.items()) == [
            ("model_id", "m"),
            ("api_key", 7),
            ("base_url", "u"),
            ("temperature", temperature),
        ]

    def test_temperature_defaults_to_zero(self, cls):
        model = cls._build_model(dict(OFFLINE_CONFIG))
        assert model.temperature == 0.0 and type(model.temperature) is float
        assert model.model_id == "m"

    @pytest.mark.parametrize("missing", ["model", "api_key", "base_url"])
    def test_required_keys(self, cls, provider, missing):
        config = {key: value for key, value in OFFLINE_CONFIG.items() if key != missing}
        with pytest.raises(KeyError) as raised:
            cls(config, "p", [])
        assert raised.value.args == (missing,)

    def test_model_id_is_not_model(self, cls, provider):
        with pytest.raises(KeyError, match="'model'"):
            cls._build_model({"model_id": "m", "api_key": "k", "base_url": "u"})

    def test_provider_errors_pass_through(self, cls):
        with pytest.raises(InferenceConfigError):
            cls({**OFFLINE_CONFIG, "api_key": ""}, "p", [])

    def test_provider_imported_at_each_call(self, cls, monkeypatch):
        monkeypatch.setitem(sys.modules, "langextract.providers.openai", None)
        with pytest.raises(ImportError):
            cls(OFFLINE_CONFIG, "p", [])

    def test_constructor_builds_through_the_instance(self, cls, provider):
        class Custom(cls):
            @staticmethod
            def _build_model(config):
                return ("custom", config["anything"])

        assert Custom({"anything": 1}, "p", []).model == ("custom", 1)

    def test_model_is_built_before_examples_are_converted(self, cls, provider):
        with pytest.raises(KeyError):
            cls({}, "p", [object()])
        with pytest.raises(AttributeError):
            cls(OFFLINE_CONFIG, "p", [object()])
