"""Pool-side tools for drevik-miner: a minimal NATS client, job making and independent
verification of the miner's shares, block results and heartbeats."""
