"""What asks a model: every request of a run, of the graph's embeddings and of its judge passes here, through one
retry loop (see asker).

A request is answered from the answer cache (cache), else by an identical request in flight (sharing), else sent
when the gate lets it go (gate, paced at the provider's stated limits: limits) as one bounded HTTP attempt
(attempt); a failed call is told apart by its kind (failures) and asked again as the policy allows (policy); what
the answers used is counted (usage). The extractors' OpenAI client is replaced by one whose chat completions go
this way (client).
"""
