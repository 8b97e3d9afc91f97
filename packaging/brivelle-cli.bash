# bash completion for brivelle-cli                                  -*- shell-script -*-
# The options, and the values they take, are read from the program's own --help, so an option
# added to the program completes without a change here.

_brivelle_cli()
{
    local cur prev words cword split
    _init_completion -s || return

    local -A value_of=()
    local -a names=()
    local line synopsis value name
    # Option rows of the help start with two spaces and a dash ("  -s, --scale <2|4>   text");
    # wrapped descriptions are indented further.
    while IFS= read -r line; do
        [[ $line == "  -"* ]] || continue
        synopsis=${line#  }
        synopsis=${synopsis%%  *}
        value=""
        if [[ $synopsis == *" <"*">" ]]; then
            value=${synopsis#* <}
            value=${value%>}
            synopsis=${synopsis%% <*}
        fi
        for name in ${synopsis//,/ }; do
            names+=("$name")
            value_of[$name]=$value
        done
    done < <(LC_ALL=C "$1" --help 2>/dev/null)

    local i
    for ((i = 1; i < cword; i++)); do
        if [[ ${words[i]} == -- ]]; then
            _filedir
            return
        fi
    done

    if [[ -n $prev && -n ${value_of[$prev]-} ]]; then
        value=${value_of[$prev]}
        case $value in
            *FOLDER* | *DIR*) _filedir -d ;;
            *FILE*) _filedir ;;
            [0-9]-[0-9])
                # A range of whole numbers, such as 1-4.
                COMPREPLY=($(compgen -W "$(seq "${value%-*}" "${value#*-}")" -- "$cur"))
                ;;
            *"|"*)
                # Choices such as 2|4 or cpu|gpu|gpu:N; the upper-case ones stand for a number.
                local -a choices=()
                local choice
                for choice in ${value//|/ }; do
                    [[ $choice == *[A-Z]* ]] || choices+=("$choice")
                done
                COMPREPLY=($(compgen -W "${choices[*]}" -- "$cur"))
                ;;
        esac
        return
    fi
    $split && return

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "${names[*]}" -- "$cur"))
        return
    fi
    # Pictures, or folders of pictures.
    _filedir
} &&
    complete -F _brivelle_cli brivelle-cli

# ex: filetype=sh
