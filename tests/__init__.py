"""The tests, by area: the extension modules in `extractor`, the corpus runner in `corpus`, the layout check of
`make lint` in `tools`.

Packages, so that two areas may each hold a test module of the same name.
"""
