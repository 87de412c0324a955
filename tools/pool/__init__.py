"""Pool-side tools for drevik-miner: a blocking face on the nats-py client, job making and independent
verification of the miner's shares, block results and heartbeats."""
