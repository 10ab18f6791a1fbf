# bash completion for zanth-timelock                         -*- shell-script -*-
# Installed by `cmake --install` into bash-completion's completions directory.

_zanth_timelock() {
    local cur prev words cword
    if declare -F _init_completion >/dev/null 2>&1; then
        _init_completion -s || return
    else
        cur=${COMP_WORDS[COMP_CWORD]}
        prev=${COMP_WORDS[COMP_CWORD-1]}
        words=("${COMP_WORDS[@]}")
        cword=$COMP_CWORD
    fi

    local commands="decrypt-paste decrypt-record calibrate generate solve keygen pubkey status plan work assemble verify-result seal-record seal-paste verify help"
    if [ "$cword" -eq 1 ]; then
        COMPREPLY=($(compgen -W "$commands --help --version" -- "$cur"))
        return
    fi

    local options
    case ${words[1]} in
        decrypt-paste) options="--manifest --service-public-key --epoch-key --paste --plaintext-out" ;;
        decrypt-record) options="--manifest --service-public-key --epoch-key --record --plaintext-out" ;;
        calibrate) options="--samples --workers --mode --segment-time" ;;
        generate) options="--epoch --iterations --iterations-from --segment-time --solver-speedup --signing-key --manifest-out --epoch-key-out --mode --state" ;;
        solve) options="--manifest --service-public-key --checkpoint --key-out --checkpoint-interval --mode" ;;
        keygen) options="--signing-key-out" ;;
        pubkey) options="--signing-key" ;;
        status) options="--manifest --service-public-key --checkpoint --key-out --rate --calibration --json --state --results" ;;
        plan) options="--epoch --iterations --iterations-from --segment-time --solver-speedup --state" ;;
        work) options="--task --result --mode --checkpoint-interval" ;;
        assemble) options="--state --results --signing-key --manifest-out --epoch-key-out --verify-fraction --verify-all --mode" ;;
        verify-result) options="--task --result --mode" ;;
        seal-record) options="--manifest --service-public-key --epoch-key --plaintext --sequence --record-out" ;;
        seal-paste) options="--manifest --signing-key --epoch-key --plaintext --tag-id --puzzle-artifact --evidence-artifact --sequence --created-at-ms --paste-out" ;;
        verify) options="--manifest --service-public-key --rate --calibration --json --quiet" ;;
        help)
            [ "$cword" -eq 2 ] && COMPREPLY=($(compgen -W "$commands" -- "$cur"))
            return ;;
        *) return ;;
    esac

    case $prev in
        --mode)
            COMPREPLY=($(compgen -W "full light" -- "$cur"))
            return ;;
        --samples | --workers | --epoch | --iterations | --checkpoint-interval | --rate | --service-public-key | --verify-fraction | --segment-time | --solver-speedup | --sequence | --tag-id | --puzzle-artifact | --evidence-artifact | --created-at-ms)
            return ;;
        --state | --results)
            COMPREPLY=($(compgen -d -- "$cur"))
            return ;;
        --json | --quiet | --verify-all)
            ;;  # flags: the next word is an option
        --*)
            COMPREPLY=($(compgen -f -- "$cur"))
            return ;;
    esac
    COMPREPLY=($(compgen -W "$options --help" -- "$cur"))
}
complete -F _zanth_timelock zanth-timelock
