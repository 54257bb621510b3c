"""Access to the Redis server that the containers of a device share."""
