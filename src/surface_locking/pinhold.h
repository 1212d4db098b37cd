/* Public header of the surface-locking table (placeholder). */
