import { defineConfig } from "vite";

// The page is served by the studio's server from one folder: relative asset paths, nothing
// from a CDN. `npm run build -- --outDir DIR` puts it where the Makefile wants it.
export default defineConfig({
  base: "./",
  esbuild: { jsx: "automatic" },
  build: {
    outDir: "dist",
    emptyOutDir: true,
    chunkSizeWarningLimit: 1024,
    rollupOptions: {
      // React Flow marks its entry "use client" for server-rendering frameworks; not ours.
      onwarn(warning, warn) {
        if (warning.code !== "MODULE_LEVEL_DIRECTIVE") warn(warning);
      },
    },
  },
  server: { proxy: { "/api": "http://127.0.0.1:8765" } },
});
