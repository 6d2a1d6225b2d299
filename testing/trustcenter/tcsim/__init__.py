"""The test trust center: gates, downloads and the HIN OAuth service on loopback."""
