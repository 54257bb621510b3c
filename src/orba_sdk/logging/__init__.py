"""Logging helpers of the SDK."""
