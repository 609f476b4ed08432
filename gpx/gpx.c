/* Placeholder until the GPX library lands. */

int gpx_placeholder;
