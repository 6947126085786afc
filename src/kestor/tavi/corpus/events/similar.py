"""Similar names, without a model: candidates by character n-grams, each pair scored by the cosine of the names'
TF-IDF vectors.

No pair of all is compared: the top `neighbours` of each name come from a sparse product that visits only names
sharing an n-gram (sparse-dot-topn, in C++ on every core), and n-grams held by more than `max_df` names (上涨, 价格)
are left out of that search, as a search engine leaves out stop words. They still count in the score: each candidate
pair is scored again on the whole vectors. The search over one block of names against all is independent of the
others, so a cluster runs the blocks as tasks (`candidate_block`).
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any

NEIGHBOURS = 8
MAX_DF = 400
FLOOR = 0.3
"""Pairs scored below this are no candidates."""


@dataclass
class NgramIndex:
    matrix: Any
    """Rows: names; columns: n-grams; TF-IDF weights, each row of unit length (scipy CSR)."""
    search: Any
    """The same rows without the n-grams of more than MAX_DF names, for the candidate search."""


def ngrams(form: str) -> list[str]:
    """Characters and bigrams, the ends marked: a two-character name still shares its start and end."""
    marked = f"^{form}$"
    return [*form, *(marked[index : index + 2] for index in range(len(marked) - 1))]


def ngram_index(forms: Sequence[str], max_df: int = MAX_DF, meanings: Sequence[Iterable[str]] = ()) -> NgramIndex:
    """The TF-IDF index of the forms; `meanings` adds features to each form beside its n-grams (the lexicon's
    values that it names: 沪指 and A股 name one market, 大跌 and 下跌 one direction)."""
    import numpy as np
    from scipy import sparse

    vocabulary: dict[str, int] = {}
    columns: list[int] = []
    offsets = [0]
    for number, form in enumerate(forms):
        features = ngrams(form)
        if meanings:
            features.extend(meanings[number])
        row = {vocabulary.setdefault(gram, len(vocabulary)) for gram in features}
        columns.extend(row)
        offsets.append(len(columns))
    indices = np.asarray(columns, dtype=np.int32)
    indptr = np.asarray(offsets, dtype=np.int64)
    df = np.bincount(indices, minlength=len(vocabulary))
    idf = (np.log((1 + len(forms)) / (1 + df)) + 1.0).astype(np.float32)
    data = idf[indices]
    lengths = np.sqrt(np.add.reduceat(data * data, indptr[:-1])) if len(data) else np.zeros(0, np.float32)
    data /= np.repeat(lengths, np.diff(indptr))
    shape = (len(forms), len(vocabulary))
    matrix = sparse.csr_matrix((data, indices, indptr), shape=shape)
    kept = (df <= max_df)[indices]
    search = (
        sparse.csr_matrix(
            (data[kept], indices[kept], np.concatenate([[0], np.cumsum(np.add.reduceat(kept, indptr[:-1]))])),
            shape=shape,
        )
        if len(data)
        else matrix
    )
    return NgramIndex(matrix, search)


def candidate_block(
    index: NgramIndex, start: int, stop: int, neighbours: int = NEIGHBOURS, floor: float = FLOOR, threads: int = 1
) -> tuple[Any, Any, Any]:
    """(first, second, score) of the candidate pairs of names start..stop-1 with any later name, scored on the
    whole vectors."""
    import numpy as np
    from sparse_dot_topn import sp_matmul_topn

    block = index.search[start:stop]
    # A candidate search floor below the score's: a pair whose common n-grams are frequent ones scores more in full.
    # The same whatever `floor` keeps, so that a lower one adds pairs below FLOOR and no others.
    found = sp_matmul_topn(
        block, index.search.T, top_n=neighbours + 1, threshold=FLOOR / 2, sort=False, n_threads=threads
    ).tocoo()
    rows = found.row.astype(np.int64) + start
    columns = found.col.astype(np.int64)
    # A pair found from either end is one pair: (i, j) with j among i's nearest but not i among j's counts too.
    first, second = np.minimum(rows, columns), np.maximum(rows, columns)
    distinct = np.unique((first << 32) | second)
    distinct = distinct[(distinct >> 32) != (distinct & 0xFFFFFFFF)]
    first, second = distinct >> 32, distinct & 0xFFFFFFFF
    score = pair_scores(index.matrix, first, second)
    keep = score >= floor
    return first[keep], second[keep], score[keep]


PAIRS_AT_ONCE = 500_000
"""Pairs scored in one product: the rows of both sides are copied for it."""


def pair_scores(matrix: Any, first: Any, second: Any) -> Any:
    """The cosine of each pair of rows (rows are of unit length)."""
    import numpy as np

    scores = np.zeros(len(first), dtype=np.float32)
    for start in range(0, len(first), PAIRS_AT_ONCE):
        a, b = first[start : start + PAIRS_AT_ONCE], second[start : start + PAIRS_AT_ONCE]
        scores[start : start + len(a)] = np.asarray(matrix[a].multiply(matrix[b]).sum(axis=1)).ravel()
    return scores


def candidates(
    index: NgramIndex, neighbours: int = NEIGHBOURS, floor: float = FLOOR, block: int = 50_000, threads: int = 1
) -> tuple[Any, Any, Any]:
    """Every candidate pair, searched block by block in this process."""
    import numpy as np

    parts = [
        candidate_block(index, start, min(start + block, index.matrix.shape[0]), neighbours, floor, threads)
        for start in range(0, index.matrix.shape[0], block)
    ]
    if not parts:
        empty = np.zeros(0, dtype=np.int64)
        return empty, empty, np.zeros(0, dtype=np.float32)
    return unique_pairs(*(np.concatenate(column) for column in zip(*parts, strict=True)))


def unique_pairs(first: Any, second: Any, score: Any) -> tuple[Any, Any, Any]:
    """Each pair once (blocks may find a pair from both ends), with its best score."""
    import numpy as np

    packed = (np.minimum(first, second) << 32) | np.maximum(first, second)
    order = np.lexsort((-score, packed))
    packed, score = packed[order], score[order]
    keep = np.ones(len(packed), dtype=bool)
    keep[1:] = packed[1:] != packed[:-1]
    packed, score = packed[keep], score[keep]
    return packed >> 32, packed & 0xFFFFFFFF, score
