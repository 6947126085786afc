"""A run's model calls through batches, at half the price (see rounds): the requests collected as a live run would
make them (collect), written as a provider's batch JSONL (lines) and kept in OUT_DIR with each batch's record
(store), asked where batches are answered (asking.batches), and taken into the answer cache, which the run then
reads."""
